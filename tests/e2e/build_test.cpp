// The programs and the GTK module as the build leaves them: hardened as Debian builds its
// packages, and with no path of the build folder in what is loaded at run time (a path
// there is a place the program might take code from once the folder is gone).
#include <elf.h>

#include <cstdio>

#include "e2e_support.h"

namespace {

// The bytes of the file's sections that are loaded at run time (debugging information is
// not); empty when the file is not a 64-bit ELF file.
std::string loaded_bytes(const std::string& path) {
  std::string file = read_file(path);
  Elf64_Ehdr header;
  if (file.size() < sizeof header || file.compare(0, SELFMAG, ELFMAG) != 0) return "";
  std::memcpy(&header, file.data(), sizeof header);
  std::string bytes;
  for (size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section;
    size_t at = header.e_shoff + i * header.e_shentsize;
    if (at + sizeof section > file.size()) return "";
    std::memcpy(&section, file.data() + at, sizeof section);
    if (!(section.sh_flags & SHF_ALLOC) || section.sh_type == SHT_NOBITS) continue;
    if (section.sh_offset + section.sh_size > file.size()) return "";
    bytes.append(file, section.sh_offset, section.sh_size);
  }
  return bytes;
}

// What readelf prints with the given options about the file. Read through a pipe of its
// own: its symbol list is long, too long to pass through a test terminal quickly.
std::string readelf(const std::string& options, const std::string& path) {
  std::string command = "LC_ALL=C readelf -W " + options + " '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "";
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  return text;
}

const std::string kBuilt[] = {e2e::kReceiverProgram, e2e::kSenderProgram, KV_BUILD_DIR "/libkvgtk.so"};

TEST(Build, NoBuildFolderPathInWhatIsLoaded) {
  for (const std::string& path : kBuilt) {
    SCOPED_TRACE(path);
    std::string bytes = loaded_bytes(path);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.find(KV_BUILD_DIR), std::string::npos);
  }
}

// Position-independent, relocations read-only after every symbol was bound at start, the
// stack protector, and (where the optimiser runs and no sanitizer does) the checked buffer
// functions.
TEST(Build, HardenedAsDebianBuildsAre) {
  ASSERT_FALSE(find_program("readelf").empty());
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  const bool fortified = true;
#else
  const bool fortified = false;
#endif
  for (const std::string& path : kBuilt) {
    SCOPED_TRACE(path);
    bool program = path != kBuilt[2];
    EXPECT_NE(readelf("-h", path).find("DYN ("), std::string::npos);
    std::string dynamic = readelf("-d", path);
    EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos) << dynamic;
    EXPECT_TRUE(!program || dynamic.find(" PIE") != std::string::npos) << "FLAGS_1 PIE";
    EXPECT_NE(readelf("-l", path).find("GNU_RELRO"), std::string::npos);
    std::string symbols = readelf("--dyn-syms", path);
    EXPECT_NE(symbols.find("__stack_chk_fail"), std::string::npos);
    EXPECT_TRUE(!fortified || !program || symbols.find("_chk@") != std::string::npos) << "fortified calls";
  }
}

}  // namespace
