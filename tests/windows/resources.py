"""Reads back what Windows and Explorer read from each program: the manifest (common
controls 6, per-monitor DPI v2, Windows 10/11, long paths, the invoker's rights), the
version information and the icon. Usage: resources.py VERSION KELVANE_EXE DORVISH_EXE."""
import sys
import xml.etree.ElementTree as ET
import pefile

version, programs = sys.argv[1], {"Kelvane": sys.argv[2], "Dorvish": sys.argv[3]}
descriptions = {"Kelvane": "Kelvane – Dateiempfänger", "Dorvish": "Dorvish – Dateisender"}
failures = []


def check(name, what, ok):
    if not ok:
        failures.append(f"{name}: {what}")


def resource(pe, kind):
    """The data of every resource of that kind."""
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        if entry.id == kind:
            for named in entry.directory.entries:
                for lang in named.directory.entries:
                    yield pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)


for name, path in programs.items():
    pe = pefile.PE(path)
    manifest = ET.fromstring(next(resource(pe, pefile.RESOURCE_TYPE["RT_MANIFEST"]), b"<none/>"))
    items = {(e.tag.split("}")[1], k, v) for e in manifest.iter() if "}" in e.tag for k, v in e.attrib.items()}
    texts = {e.tag.split("}")[1]: (e.text or "").strip() for e in manifest.iter() if "}" in e.tag}
    check(name, "common controls 6", ("assemblyIdentity", "name", "Microsoft.Windows.Common-Controls") in items
          and ("assemblyIdentity", "version", "6.0.0.0") in items)
    check(name, "asInvoker", ("requestedExecutionLevel", "level", "asInvoker") in items)
    check(name, "Windows 10/11", ("supportedOS", "Id", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}") in items)
    check(name, "per-monitor v2", texts.get("dpiAwareness", "").startswith("PerMonitorV2"))
    check(name, "long paths", texts.get("longPathAware") == "true")

    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = [fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16]
    check(name, "file version", ".".join(map(str, numbers)) == version)
    strings = {k.decode(): v.decode() for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for k, v in table.entries.items()}
    check(name, f"strings {strings}", strings.get("FileVersion") == version and
          strings.get("ProductName") == "Kelvane und Dorvish" and
          strings.get("FileDescription") == descriptions[name] and strings.get("OriginalFilename") == name + ".exe")

    group = next(resource(pe, pefile.RESOURCE_TYPE["RT_GROUP_ICON"]), b"\0" * 6)
    count = int.from_bytes(group[4:6], "little")
    sizes = {group[6 + 14 * i] or 256 for i in range(count)}
    check(name, f"icon sizes {sizes}", {16, 32, 48, 256} <= sizes and
          len(list(resource(pe, pefile.RESOURCE_TYPE["RT_ICON"]))) == count)

print("\n".join(failures) or "manifest, version and icon fine")
sys.exit(1 if failures else 0)
