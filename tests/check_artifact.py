#!/usr/bin/python3
"""Static check of the shipped 32-bit library: what the host relies on
before any code runs. PE32 for i386, a DLL, exactly the nineteen exports by
undecorated name, system imports only, the version record and both dialog
templates as the host's users will see them."""
import struct
import sys

import pefile

EXPORTS = {
    "DrawExSpecification", "DrawExConfigure", "DrawExAbout", "InitializeChip",
    "UnInitializeChip", "Update", "GetSaveData", "Zoom", "CalcDefaultRect", "Resize",
    "DrawChip", "GetDrawExMenu", "DoDrawExMenu", "GetTimerSpan", "DoTimer", "EditHelper",
    "MouseClik", "ExchangeSendString", "GetMemoString",
}
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "comdlg32.dll",
               "msvcrt.dll", "ole32.dll", "windowscodecs.dll"}
# The interface's functions, the reduced decode the library asks for, and the
# export saying the plug-in may decode on any thread.
PLUGIN_EXPORTS = {"GetPluginInfo", "IsSupported", "GetPicture", "GetPictureInfo", "GetPreview",
                  "ConfigurationDlg", "GetReducedPicture", "DecodesOnAnyThread"}
VERSION_STRINGS = {
    "Comments": "画像を表示する(Susi Plug-in 利用)",
    "FileDescription": "Ovilune",
    "OriginalFilename": "Ovilune.dxl",
    "ProductName": "Ovilune Dxl",
    "FileVersion": "1, 3, 1, 0",
    "ProductVersion": "1, 3, 1, 0",
}
FONT = (9, "ＭＳ Ｐゴシック")
DS_3DLOOK, DS_SETFONT, DS_MODALFRAME, DS_CENTER = 0x4, 0x40, 0x80, 0x800
WS_POPUP, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x00C00000, 0x00080000
CLASSES = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x85: "ComboBox"}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def sz_or_ord(data, offset):
    if struct.unpack_from("<H", data, offset)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, offset + 2)[0], offset + 4
    end = offset
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[offset:end].decode("utf-16-le"), end + 2


def parse_dialog(data):
    style, _ex, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    offset = 18
    _menu, offset = sz_or_ord(data, offset)
    _cls, offset = sz_or_ord(data, offset)
    caption, offset = sz_or_ord(data, offset)
    font = None
    if style & DS_SETFONT:
        size = struct.unpack_from("<H", data, offset)[0]
        face, offset = sz_or_ord(data, offset + 2)
        font = (size, face)
    items = []
    for _ in range(count):
        offset = (offset + 3) & ~3
        istyle, _iex, ix, iy, icx, icy, ident = struct.unpack_from("<IIhhhhH", data, offset)
        offset += 18
        cls, offset = sz_or_ord(data, offset)
        text, offset = sz_or_ord(data, offset)
        extra = struct.unpack_from("<H", data, offset)[0]
        offset += 2 + extra
        # Class names are case-insensitive; the resource compiler upper-cases them.
        cls = CLASSES.get(cls, cls)
        cls = {c.lower(): c for c in CLASSES.values()}.get(str(cls).lower(), str(cls).lower())
        items.append({"style": istyle, "rect": (ix, iy, icx, icy), "id": ident,
                      "class": cls, "text": text})
    return {"style": style, "rect": (x, y, cx, cy), "caption": caption, "font": font,
            "items": items}


def dialogs(pe):
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != pefile.RESOURCE_TYPE["RT_DIALOG"]:
            continue
        for entry in kind.directory.entries:
            lang = entry.directory.entries[0]
            rva, size = lang.data.struct.OffsetToData, lang.data.struct.Size
            found[entry.id] = parse_dialog(pe.get_data(rva, size))
    return found


def check_dialog(name, dialog, caption, rect, styles, items):
    check(dialog["caption"] == caption, f"{name}: caption {dialog['caption']!r}")
    check(dialog["rect"] == rect, f"{name}: placed {dialog['rect']}")
    check(dialog["font"] == FONT, f"{name}: font {dialog['font']}")
    for bit in styles:
        check(dialog["style"] & bit, f"{name}: style {dialog['style']:#x} lacks {bit:#x}")
    check(not dialog["style"] & DS_CENTER, f"{name}: centred")
    got = [(i["id"], i["class"], i["text"], i["rect"]) for i in dialog["items"]]
    check(len(got) == len(items), f"{name}: {len(got)} controls")
    for want, have in zip(items, got):
        if callable(want[2]):
            check(want[:2] == have[:2] and want[3] == have[3] and want[2](have[2]),
                  f"{name}: control {have}")
        else:
            check(want == have, f"{name}: control {have}, expected {want}")


def check_plugin(path):
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == 0x14C, f"{path}: not an i386 image")
    check(pe.FILE_HEADER.Characteristics & 0x2000, f"{path}: not a DLL")
    names = {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name}
    check(names == PLUGIN_EXPORTS, f"{path}: exports {sorted(names)}")
    imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check(imports <= SYSTEM_DLLS, f"{path}: non-system imports {imports - SYSTEM_DLLS}")


def check_helper(path):
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == 0x14C, f"{path}: not an i386 image")
    check(not pe.FILE_HEADER.Characteristics & 0x2000, f"{path}: a DLL, not a program")
    check(pe.OPTIONAL_HEADER.Subsystem == 2, f"{path}: not a windowless (GUI) program")
    imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check(imports <= SYSTEM_DLLS, f"{path}: non-system imports {imports - SYSTEM_DLLS}")


def main(path, plugin=None, helper=None):
    if plugin:
        check_plugin(plugin)
    if helper:
        check_helper(helper)
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == 0x14C, "not an i386 image")
    check(pe.OPTIONAL_HEADER.Magic == 0x10B, "not PE32")
    check(pe.FILE_HEADER.Characteristics & 0x2000, "not a DLL")

    names = {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name}
    check(names == EXPORTS, f"exports differ: extra {names - EXPORTS}, missing {EXPORTS - names}")

    imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check(imports <= SYSTEM_DLLS, f"non-system imports: {imports - SYSTEM_DLLS}")

    fixed = pe.VS_FIXEDFILEINFO[0]
    check((fixed.FileVersionMS, fixed.FileVersionLS) == (0x10003, 0x10000), "file version")
    check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x10003, 0x10000), "product version")
    check(fixed.FileType == 2, "file type is not VFT_DLL")
    tables = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            tables[table.LangID.decode().upper()] = {
                k.decode(): v.decode("utf-8") for k, v in table.entries.items()}
    check("041104B0" in tables, f"no Japanese Unicode string table: {list(tables)}")
    for key, value in VERSION_STRINGS.items():
        got = tables.get("041104B0", {}).get(key)
        check(got == value, f"version string {key}: {got!r}")

    found = dialogs(pe)
    check(set(found) == {101, 103}, f"dialog templates {sorted(found)}")
    if 101 in found:
        check_dialog("IDD_ABOUT", found[101], "About Ovilune.DxL", (0, 0, 217, 183),
                     [DS_MODALFRAME, WS_CAPTION, WS_SYSMENU, WS_POPUP], [
            (1, "Button", "OK", (83, 162, 50, 14)),
            (0xFFFF, "Static",
             lambda t: t.endswith(" 小片描画拡張ライブラリィ － 画像表示(Susie Plugin利用)"),
             (7, 7, 203, 8)),
            (0xFFFF, "Static", lambda t: t.count("\n") == 1, (7, 30, 203, 20)),
            (0xFFFF, "Static",
             lambda t: t.split("\n\n") == [
                 "\u3000このライブラリは、小片に画像ファイルを表示するための物です。(Susie Plug-in を利用します。)",
                 "\u3000小片の内容は、表示したい画像ファイルへのパスを先頭行に記述します。",
                 "\u3000複数行の場合や、改行などがある場合、正しく表示されません。",
                 "\u3000Susie のレジストリからPlug-inディレクトリを取得しているため Susie が正しくインストールされている必要があります。"],
             (7, 53, 203, 94)),
            (0xFFFF, "Static", "Version 1.31", (7, 19, 203, 8)),
        ])
        about = found[101]["items"]
        if len(about) == 5:
            check(about[0]["style"] & 0xF == 1, "IDD_ABOUT: OK is not the default button")
            check(about[1]["style"] & 0xF == 1, "IDD_ABOUT: title not centred")
            check(about[2]["style"] & 0xF == 2, "IDD_ABOUT: maker notice not right-aligned")
            check(about[3]["style"] & 0x1000, "IDD_ABOUT: usage note not sunken")
            check(about[4]["style"] & 0xF == 2, "IDD_ABOUT: version not right-aligned")
    if 103 in found:
        check_dialog("IDD_SLIDESHOW", found[103], "スライドショーの設定", (0, 0, 135, 79),
                     [DS_MODALFRAME, DS_3DLOOK, WS_CAPTION, WS_SYSMENU, WS_POPUP], [
            (1, "Button", "OK", (20, 58, 40, 14)),
            (2, "Button", "ｷｬﾝｾﾙ", (73, 58, 40, 14)),
            (1002, "Edit", "", (18, 23, 33, 12)),
            (1003, "msctls_updown32", "Spin1", (51, 23, 9, 12)),
            (1001, "ComboBox", "", (72, 23, 27, 53)),
            (0xFFFF, "Static", "切り替え時間", (7, 7, 46, 10)),
            (1006, "Button", "ランダム表示", (77, 41, 51, 9)),
        ])
        items = found[103]["items"]
        if len(items) == 7:
            check(items[0]["style"] & 0xF == 1, "IDD_SLIDESHOW: OK is not the default button")
            check(items[2]["style"] & 0x2002 == 0x2002, "IDD_SLIDESHOW: edit not ES_NUMBER|ES_RIGHT")
            check(items[2]["style"] & 0x00800000, "IDD_SLIDESHOW: edit without border")
            check(items[3]["style"] & 0xB6 == 0xB6,
                  "IDD_SLIDESHOW: up-down lacks buddy, int, right, arrows or no-thousands")
            check(items[4]["style"] & 0x403 == 0x403, "IDD_SLIDESHOW: combo not a drop-down list")
            check(items[4]["style"] & 0x00200000, "IDD_SLIDESHOW: combo without scroll bar")
            check(items[6]["style"] & 0xF == 3, "IDD_SLIDESHOW: not an automatic check box")

    for failure in failures:
        print("FAIL:", failure)
    checked = "PE32 i386 DLL, exports, imports, version record, dialogs 101 and 103"
    if plugin:
        checked += "; plug-in " + plugin
    if helper:
        checked += "; helper " + helper
    print(f"{path}: {checked}: {'ok' if not failures else f'{len(failures)} failures'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
