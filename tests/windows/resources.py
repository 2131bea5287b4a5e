"""Reads back what Windows and Explorer read from each program: manifest, version
information, icon. Usage: resources.py VERSION KELVANE_EXE DORVISH_EXE."""
import re
import sys
import pefile

version = sys.argv[1]
programs = {"Kelvane": (sys.argv[2], "Kelvane – Dateiempfänger"), "Dorvish": (sys.argv[3], "Dorvish – Dateisender")}
failures = []
for name, (path, description) in programs.items():
    pe = pefile.PE(path)
    data = {kind.id: [pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                      for entry in kind.directory.entries for lang in entry.directory.entries]
            for kind in (pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else [])}
    manifest = re.sub(r"\s+", " ", b"".join(data.get(pefile.RESOURCE_TYPE["RT_MANIFEST"], [])).decode())
    strings = {k.decode(): v.decode() for info in getattr(pe, "FileInfo", [[]])[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for k, v in table.entries.items()}
    group = (data.get(pefile.RESOURCE_TYPE["RT_GROUP_ICON"]) or [bytes(6)])[0]
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
    checks = {
        "common controls 6": 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' in manifest,
        "asInvoker": 'requestedExecutionLevel level="asInvoker"' in manifest,
        "Windows 10/11": '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>' in manifest,
        "per-monitor v2": re.search(r"<dpiAwareness [^>]*>PerMonitorV2[,<]", manifest) is not None,
        "long paths": re.search(r"<longPathAware [^>]*>true<", manifest) is not None,
        "file version": fixed and f"{fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xFFFF}.{fixed.FileVersionLS >> 16}" == version,
        f"strings {strings}": strings.get("FileVersion") == version and strings.get("FileDescription") == description
        and strings.get("ProductName") == "Kelvane und Dorvish" and strings.get("OriginalFilename") == name + ".exe",
        "icon sizes": {group[6 + 14 * i] or 256 for i in range(group[4])} >= {16, 32, 48, 256},
    }
    failures += [f"{name}: {what}" for what, ok in checks.items() if not ok]
sys.exit("\n".join(failures) or print("manifest, version and icon fine"))
