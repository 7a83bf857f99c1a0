"""Static check of the built TamsuLauncher.exe: what Wine cannot show by running it.

Wine starts a requireAdministrator program without asking and does not care where an import
comes from, so the exploit mitigations, the manifest, the import table, the version record and
the icons are read from the file itself: check_pe.py LAUNCHER MANIFEST_SOURCE
"""

import os
import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from kit_description import VERSION  # noqa: E402

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LANG_EN_US, LANG_ZH_CN = 0x0409, 0x0804
ASM_V1, ASM_V3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"

LAUNCHER, MANIFEST_SOURCE = sys.argv[1:3]
del sys.argv[1:3]


def resources(pe, type_id):
    """(name or id, language, data) of every resource of one type, in directory order."""
    found = []
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            name = str(name_entry.name) if name_entry.name is not None else name_entry.id
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                blob = pe.get_data(data.OffsetToData, data.Size)
                found.append((name, lang_entry.id, blob))
    return found


class LauncherExecutable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(LAUNCHER)
        print("\nTamsuLauncher.exe: %d bytes" % len(cls.pe.__data__), file=sys.stderr)

    def test_32_bit_gui_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])

    def test_exploit_mitigations(self):
        # It runs elevated: ASLR (which needs the relocations to move the image), DEP, and
        # NO_SEH, since ld writes no SafeSEH table: without either, any address in the image
        # written over a handler record on the stack would be called as a handler.
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for name in ("DYNAMIC_BASE", "NX_COMPAT", "NO_SEH"):
            with self.subTest(name):
                self.assertTrue(flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_" + name])
        relocations = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        self.assertGreater(relocations.Size, 0)

    def test_binds_only_kernel32_and_the_c_runtime_at_start(self):
        # Everything else is bound after wmain has locked the library search; a library bound
        # at start, with what it imports, would be looked for beside the launcher first.
        imports = {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
                   for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual(set(imports), {"kernel32.dll", "msvcrt.dll"})
        # Looked up at run time: Vista and Windows 7 without its loader update lack it, and
        # the loader refuses a program that imports a missing function.
        self.assertNotIn("SetDefaultDllDirectories", imports["kernel32.dll"])
        self.assertLessEqual({"GetProcAddress", "SetDllDirectoryW", "GetSystemDirectoryW",
                              "LoadLibraryExW"}, imports["kernel32.dll"])

    def test_manifest_asks_for_administrator_rights_and_nothing_else(self):
        manifests = resources(self.pe, RT_MANIFEST)
        self.assertEqual([(name, lang) for name, lang, _ in manifests], [(1, LANG_EN_US)])
        text = manifests[0][2]
        with open(MANIFEST_SOURCE, "rb") as f:
            self.assertEqual(text, f.read())
        root = ElementTree.fromstring(text)
        self.assertEqual((root.tag, root.attrib), (ASM_V1 + "assembly", {"manifestVersion": "1.0"}))
        chain = [ASM_V3 + "trustInfo", ASM_V3 + "security", ASM_V3 + "requestedPrivileges",
                 ASM_V3 + "requestedExecutionLevel"]
        element = root
        for tag in chain:
            children = list(element)
            self.assertEqual([c.tag for c in children], [tag])
            element = children[0]
            if tag != chain[-1]:
                self.assertEqual(element.attrib, {})
        self.assertEqual(element.attrib, {"level": "requireAdministrator", "uiAccess": "false"})
        self.assertEqual(list(element), [])

    def test_version_record(self):
        self.assertEqual([(n, l) for n, l, _ in resources(self.pe, RT_VERSION)],
                         [(1, LANG_ZH_CN)])
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        major, minor, patch = map(int, VERSION.split("."))
        version = (major << 16 | minor, patch << 16)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), version)
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), version)
        tables, translations = [], []
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                tables += info.StringTable
            elif info.Key == b"VarFileInfo":
                translations += [v for var in info.Var for v in var.entry.values()]
        self.assertEqual([t.LangID for t in tables], [b"080404B0"])
        strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
        self.assertIn("launcher", strings.pop("FileDescription").lower())
        text = "%d, %d, %d, 0" % (major, minor, patch)
        self.assertEqual(strings, {"FileVersion": text, "ProductVersion": text,
                                   "InternalName": "TamsuLauncher",
                                   "OriginalFilename": "TamsuLauncher.exe"})
        self.assertEqual(translations, ["0x0804 0x04b0"])

    def test_two_icon_groups_each_with_its_own_png_and_32_bit_image(self):
        groups = resources(self.pe, RT_GROUP_ICON)
        self.assertEqual(len(groups), 2)
        self.assertIsInstance(groups[0][0], str)  # the named group comes first
        self.assertEqual(groups[1][0], 101)
        icons = {name: (lang, data) for name, lang, data in resources(self.pe, RT_ICON)}
        used = []
        for name, lang, data in groups:
            self.assertEqual(lang, LANG_ZH_CN, name)
            reserved, kind, count = struct.unpack_from("<HHH", data)
            self.assertEqual((reserved, kind, count), (0, 1, 2), name)
            images = []
            for i in range(count):
                width, height, _, _, _, bits, size, icon_id = struct.unpack_from(
                    "<BBBBHHIH", data, 6 + 14 * i)
                icon_lang, image = icons[icon_id]
                self.assertEqual((icon_lang, len(image), bits), (LANG_ZH_CN, size, 32))
                images.append((width or 256, height or 256, image))
                used.append(icon_id)
            (w1, h1, png), (w2, h2, dib) = sorted(images, reverse=True)
            self.assertEqual((w1, h1, w2, h2), (256, 256, 48, 48), name)
            self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
            self.assertEqual(struct.unpack(">II", png[16:24]), (256, 256))
            header_size, dib_width, dib_height, _, dib_bits = struct.unpack_from("<IiiHH", dib)
            self.assertEqual((header_size, dib_width, dib_height, dib_bits), (40, 48, 96, 32))
        self.assertEqual(len(set(used)), 4, "each group has its own copy of the images")


if __name__ == "__main__":
    unittest.main(verbosity=2)
