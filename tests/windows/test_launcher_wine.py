"""The real TamsuLauncher.exe under Wine, headless: every outcome, the detection pass call by
call, the trace lines, the notices' arguments, the retry, the path limits, and where its
libraries come from, and faults. Run one group per CTest test:
test_launcher_wine.py Families|Notices|Limits|Faults
"""

import os
import shutil
import unittest

from winekit import (ALL_PLANTED_OVERRIDE, FAMILY_FOLDERS, PLANTED_NAMES, Config, CutText,
                     Interface, Kit, disable_for_launcher, launcher_name, restart_server,
                     run_launcher, set_interfaces, utf16_length)
import kit_description  # noqa: E402 (winekit puts it on the path)
from kit_description import FOLDER_OF, LANGUAGES, NOTICES, TOOL_FILE  # noqa: E402

SOC_FOLDER = FOLDER_OF["SOC"]

SUN_COL01 = Interface("VID_1BCF&PID_0501&COL01", "7&2c3d4e5f&0&0000")
# The collection text lies past what the trace line keeps: only the whole path counts it.
SUN_COL02_LONG = Interface("VID_1BCF&PID_0501", "7&2c3d4e5f&0&0001", "x" * 190 + "&col02")
MOUSE = Interface("VID_046D&PID_C52B&MI_00", "7&3e4f5a6b&0&0000")
SOC = [Interface("VID_7C2F&PID_2003&MI_00"), Interface("VID_7C2F&PID_2003&MI_01&COL01")]
ENTRY = Interface("VID_7C2F&PID_1100&COL02", "8&11223344&0&0002")
ENTRY_QUOTED = Interface("VID_7C2F&PID_1100&COL02", '8&"quoted"&0&0003')
BK = [Interface("VID_7C2F&PID_2000&MI_00"), Interface("VID_7C2F&PID_2002&COL01")]

DETAIL_HEADER = 4  # the detail record's size field, before the path
SYSTEM = "C:\\windows\\system32\\"
# The delay-loaded libraries and the functions the launcher calls in each.
DELAY_LOADED = {
    "setupapi.dll": {"SetupDiGetClassDevsW", "SetupDiEnumDeviceInterfaces",
                     "SetupDiGetDeviceInterfaceDetailW", "SetupDiDestroyDeviceInfoList"},
    "shlwapi.dll": {"StrStrIW"}, "shell32.dll": {"ShellExecuteW"}, "user32.dll": {"MessageBoxW"},
}


class LauncherTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.config = Config()
        restart_server(cls.config)
        cls.kit = Kit(cls.config, "kit")

    def expect_run(self, run, kit, passes, outcome, module_length=None):
        """Checks the launcher's own calls, in order, and its trace lines.

        passes: the interfaces each pass finds (None: the device list cannot be had);
        outcome: ("start", folder), ("notice", kind, language), ("no box",) or ("nothing",)."""
        self.assertEqual(run.returncode, 0)
        calls = self.without_binding(run.calls)

        def take(name, *args):
            self.assertTrue(calls, "the run ended before %s" % name)
            call = calls.pop(0)
            self.assertEqual(call.name, name, "expected %s, got %r" % (name, call))
            for i, expected in enumerate(args):
                if expected is None:
                    continue
                message = "argument %d of %r" % (i, call)
                if isinstance(call.args[i], CutText):  # the trace kept only its beginning
                    self.assertTrue(expected.startswith(call.args[i]), message)
                else:
                    self.assertEqual(call.args[i], expected, message)
            return call

        # Looked up, so that systems without it still load the launcher; called before
        # anything else is loaded.
        take("GetProcAddress", None, "SetDefaultDllDirectories")
        take("SetDefaultDllDirectories", 0x800)
        length = take("GetModuleFileNameW", 0, None, 260).result
        self.assertEqual(length, module_length or len(kit.launcher))
        take("Sleep", 500)
        for number, interfaces in enumerate(passes):
            if number:
                take("Sleep", 3000)
            self.expect_pass(take, interfaces)
        if outcome[0] == "start":
            take("ShellExecuteW", 0, "open", kit.tool(outcome[1]), 0, 0, 1)
        elif outcome[0] == "notice":
            language, language_id = LANGUAGES[outcome[2]]
            self.assertEqual(take("GetSystemDefaultLangID").result, language_id)
            caption, text = NOTICES[outcome[1:]]
            take("MessageBoxW", 0, text, caption, 0)
        elif outcome[0] == "no box":  # the notice chosen, but user32 cannot be had
            take("GetSystemDefaultLangID")
        self.assertEqual(calls, [], "calls after the outcome")

        # One find line per interface, cut to 259 characters, before the summary.
        found = [i.path for p in passes if p for i in p]
        finds = [t for t in run.traces if t.startswith("find: ")]
        self.assertEqual(sorted(finds), sorted(("find: %s\n" % p)[:259] for p in found))
        self.assertEqual(run.traces[:len(finds)], finds)
        self.assertEqual(len(run.traces), len(finds) + 2)

        # Libraries only from the system directory; the planted ones stay where they are.
        for path in run.loaded:
            if isinstance(path, CutText):  # the launcher or its tool on a long path
                programs = [kit.launcher] + [kit.tool(f) for f in FAMILY_FOLDERS]
                self.assertTrue(any(p.startswith(path) for p in programs), path)
            elif not path.lower().endswith(".exe"):
                self.assertTrue(path.lower().startswith(SYSTEM.lower()), path)
        self.assertEqual(kit.planted_loaded(), [], "planted libraries were loaded")

        started = kit.started(wait_for=outcome[1] if outcome[0] == "start" else None)
        self.assertEqual(started, [outcome[1]] if outcome[0] == "start" else [])
        if started:
            command_line, directory = kit.marker_record(started[0])
            # Started by its exact path, with no parameters, in the launcher's directory.
            self.assertIn(command_line.strip(), (kit.tool(started[0]),
                                                 '"%s"' % kit.tool(started[0])))
            self.assertEqual(directory.rstrip("\\"), "Z:" + self.config.work.replace("/", "\\"))

    def without_binding(self, calls):
        """The launcher's calls without the binding of the delay-loaded libraries, which is
        checked here: each is loaded by its full system path once, after the search is
        locked, and looked up for the functions the launcher calls. One that cannot be loaded
        is tried once more by name, and its functions are then looked up in the launcher
        itself, which has none of them."""
        lock = next(i for i, c in enumerate(calls) if c.name == "SetDefaultDllDirectories")
        libraries, unbound, own = {}, set(), []
        for index, call in enumerate(calls):
            if call.name == "LoadLibraryExW" and call.args[0] != SYSTEM + "hid.dll":
                name = call.args[0][len(SYSTEM):].lower()
                self.assertEqual(call.args, [SYSTEM + name, 0, 0x800])
                self.assertIn(name, DELAY_LOADED)
                self.assertNotIn(name, list(libraries.values()) + list(unbound), "loaded twice")
                self.assertGreater(index, lock, "loaded before the search was locked")
                if call.result:
                    libraries[call.result] = name
                else:
                    unbound.add(name)
            elif call.name == "LoadLibraryA" and call.args[0].lower() in unbound:
                self.assertEqual(call.result, 0)
            elif call.name == "GetProcAddress" and call.args[0] in libraries:
                self.assertIn(call.args[1], DELAY_LOADED[libraries[call.args[0]]])
            elif call.name == "GetProcAddress" and any(call.args[1] in DELAY_LOADED[name]
                                                       for name in unbound):
                self.assertEqual(call.result, 0)
            else:
                own.append(call)
        return own

    def expect_pass(self, take, interfaces):
        """One detection pass: class GUID from the system's hid.dll, the set of present
        interfaces, a size query and one heap block per interface, the set released."""
        hid = take("LoadLibraryExW", SYSTEM + "hid.dll", 0, 0x800).result
        self.assertNotEqual(hid, 0)
        take("GetProcAddress", hid, "HidD_GetHidGuid")
        guid = take("HidD_GetHidGuid").args[0]
        take("FreeLibrary", hid)
        if interfaces is None:
            return  # neither the failing setupapi (not Wine's own) nor a stand-in is traced
        device_set = take("SetupDiGetClassDevsW", guid, 0, 0, 0x12).result
        self.assertNotIn(device_set, (0, 0xFFFFFFFF))
        sizes = []
        for index in range(len(interfaces) + 1):
            more = take("SetupDiEnumDeviceInterfaces", device_set, 0, guid, index)
            self.assertEqual(more.result, int(index < len(interfaces)))
            if not more.result:
                break
            record = more.args[4]
            size_query = take("SetupDiGetDeviceInterfaceDetailW", device_set, record, 0, 0,
                              None, 0)
            self.assertEqual(size_query.result, 0)
            block = take("HeapAlloc", None, 0)
            sizes.append(block.args[2])
            take("SetupDiGetDeviceInterfaceDetailW", device_set, record, block.result,
                 block.args[2], 0, 0)
            take("HeapFree", block.args[0], 0, block.result)
        take("SetupDiDestroyDeviceInfoList", device_set)
        self.assertEqual(sorted(sizes),
                         sorted(DETAIL_HEADER + 2 * (len(i.path) + 1) for i in interfaces))

    def expect_traces(self, run, counts, families):
        kit_description.Trace([line[:-1] for line in run.traces]).expect(counts, families)


class Families(LauncherTest):
    """Each family starts its own tool at once, with no second pass."""

    def check_family(self, interfaces, folder, counts):
        set_interfaces(self.config, interfaces)
        run = run_launcher(self.config, self.kit)
        self.expect_run(run, self.kit, [interfaces], ("start", folder))
        self.expect_traces(run, counts, 1)

    def test_sun_receiver_with_a_path_longer_than_the_trace_line(self):
        self.assertGreater(len(SUN_COL02_LONG.path), 259)
        self.check_family([MOUSE, SUN_COL01, SUN_COL02_LONG], FOLDER_OF["Sun"],
                          dict(sun=1, sun2=1))

    def test_soc_receiver(self):
        self.check_family(SOC + [MOUSE], SOC_FOLDER, dict(soc=2))

    def test_entry_receiver(self):
        self.check_family([ENTRY], FOLDER_OF["Entry"], dict(entry=1))

    def test_entry_receiver_whose_path_holds_a_quote(self):
        self.assertIn('"', ENTRY_QUOTED.path)
        self.check_family([ENTRY_QUOTED], FOLDER_OF["Entry"], dict(entry=1))

    def test_bk_receiver_on_both_counters(self):
        self.check_family(BK, FOLDER_OF["Bk"], dict(bk24=1, bk5=1))


class Notices(LauncherTest):
    """The notices with their texts and captions, the retry, and the failing device list."""

    def test_many_found_in_chinese(self):
        set_interfaces(self.config, SOC + [ENTRY])
        run = run_launcher(self.config, self.kit, "zh_CN.UTF-8")
        self.expect_run(run, self.kit, [SOC + [ENTRY]], ("notice", "many", "zh"))
        self.expect_traces(run, dict(soc=2, entry=1), 2)

    def test_many_found_in_english(self):
        set_interfaces(self.config, [SUN_COL01] + BK)
        run = run_launcher(self.config, self.kit, "en_US.UTF-8")
        self.expect_run(run, self.kit, [[SUN_COL01] + BK], ("notice", "many", "en"))
        self.expect_traces(run, dict(sun=1, bk24=1, bk5=1), 2)

    def test_none_found_after_a_second_pass(self):
        set_interfaces(self.config, [MOUSE])
        run = run_launcher(self.config, self.kit, "zh_CN.UTF-8")
        self.expect_run(run, self.kit, [[MOUSE], [MOUSE]], ("notice", "none", "zh"))
        self.expect_traces(run, dict(), 0)

    def test_device_list_refused_or_unreadable_on_both_passes(self):
        # A setupapi that refuses the list; one that lists an interface but lacks the functions
        # that read and free it (their stand-ins are bound: without one the run would die).
        for library, said in (
                (self.config.failing_setupapi, b"SetupDiGetClassDevs failed: 5aa\r\n"),
                (self.config.lacking_setupapi, b"")):
            with self.subTest(library):
                system_copy = os.path.join(self.config.system_directory, "setupapi.dll")
                saved = system_copy + ".saved"
                shutil.copy(system_copy, saved)
                try:
                    shutil.copy(library, system_copy)
                    set_interfaces(self.config, SOC)
                    run = run_launcher(self.config, self.kit, "en_US.UTF-8",
                                       overrides="setupapi=n")
                finally:
                    shutil.move(saved, system_copy)
                self.assertEqual(run.stdout, said * 2)
                self.expect_run(run, self.kit, [None, None], ("notice", "none", "en"))
                self.expect_traces(run, dict(), 0)

    def test_missing_setupapi_fails_as_a_refused_device_list(self):
        set_interfaces(self.config, SOC)
        disable_for_launcher(self.config, ["setupapi"])
        try:
            run = run_launcher(self.config, self.kit, "en_US.UTF-8")
        finally:
            disable_for_launcher(self.config, [])
        self.assertEqual(run.stdout, b"SetupDiGetClassDevs failed: 7e\r\n" * 2)  # not found
        self.expect_run(run, self.kit, [None, None], ("notice", "none", "en"))
        self.expect_traces(run, dict(), 0)


class Limits(LauncherTest):
    """Paths at the platform's 260-character limit: whole ones are used, cut ones never."""

    def limit_kit(self, tag, base_length, launcher_file="TamsuLauncher.exe"):
        # K:\tag\ddd...\ with base_length characters in all.
        relative = tag + "\\" + "d" * (base_length - len("K:\\") - len(tag) - 2)
        kit = Kit(self.config, relative, launcher_file)
        self.assertEqual(len(kit.base), base_length)
        return kit

    def test_module_and_tool_path_of_259_characters(self):
        kit = self.limit_kit("whole", 237, launcher_name(22))
        self.assertEqual((len(kit.launcher), len(kit.tool(SOC_FOLDER))), (259, 259))
        set_interfaces(self.config, SOC)
        run = run_launcher(self.config, kit)
        self.expect_run(run, kit, [SOC], ("start", SOC_FOLDER))

    def test_module_path_cut_by_the_platform_starts_nothing(self):
        kit = self.limit_kit("module", 237, launcher_name(23))
        self.assertEqual(len(kit.launcher), 260)
        set_interfaces(self.config, SOC)
        run = run_launcher(self.config, kit)
        self.expect_run(run, kit, [SOC], ("nothing",), module_length=260)
        self.expect_traces(run, dict(soc=2), 1)

    def test_emoji_kit_path_of_259_characters(self):
        # Two UTF-16 units per emoji, four bytes each in the Unix folder names, which must
        # stay under 256 bytes; Wine's trace keeps only the beginning of such a tool path.
        emoji = "\U0001F600"
        relative = "emoji\\" + emoji * 50 + "\\" + emoji * 50 + "\\" + emoji * 12 + "d"
        kit = Kit(self.config, relative, launcher_name(22))
        self.assertEqual((utf16_length(kit.launcher), utf16_length(kit.tool(SOC_FOLDER))),
                         (259, 259))
        set_interfaces(self.config, SOC)
        run = run_launcher(self.config, kit)
        self.assertIsInstance(run.named("ShellExecuteW")[0].args[2], CutText)
        self.expect_run(run, kit, [SOC], ("start", SOC_FOLDER), module_length=259)

    def test_kit_on_a_share_starts_nothing_from_the_current_folder(self):
        # Wine names a launcher started as \\srv\share\kit\... "UNC\srv\share\kit\...": a
        # path relative to the current folder, where a same-named tool may wait.
        kit = Kit(self.config, "kit", root=(os.path.join(self.config.unc, "srv", "share"),
                                            "\\\\srv\\share\\"))
        decoy = os.path.join(self.config.work, "UNC", "srv", "share", "kit", SOC_FOLDER,
                             TOOL_FILE)
        os.makedirs(os.path.dirname(decoy), exist_ok=True)
        shutil.copy(self.config.stand_in, decoy)
        if os.path.exists(decoy + ".started"):
            os.remove(decoy + ".started")
        set_interfaces(self.config, SOC)
        run = run_launcher(self.config, kit)
        self.assertFalse(kit_description.wait_for(lambda: os.path.exists(decoy + ".started"),
                                                  10 if run.named("ShellExecuteW") else 0),
                         "the decoy started")
        self.expect_run(run, kit, [SOC], ("nothing",),
                        module_length=len("UNC\\srv\\share\\kit\\TamsuLauncher.exe"))

    def test_tool_path_over_259_characters_starts_nothing(self):
        kit = self.limit_kit("tool", 238)
        self.assertEqual(len(kit.tool(SOC_FOLDER)), 260)
        set_interfaces(self.config, SOC)
        run = run_launcher(self.config, kit)
        self.expect_run(run, kit, [SOC], ("nothing",))
        self.expect_traces(run, dict(soc=2), 1)


class Faults(LauncherTest):
    """Tools that cannot start, and a thousand interfaces at once."""

    def test_missing_or_unstartable_tool_shows_nothing(self):
        set_interfaces(self.config, SOC)
        tool = os.path.join(self.kit.directory, SOC_FOLDER, TOOL_FILE)
        saved = tool + ".saved"
        shutil.move(tool, saved)
        try:
            for case, content in (("missing", None), ("not a program", b"not a program\r\n")):
                with self.subTest(case):
                    if content is not None:
                        with open(tool, "wb") as f:
                            f.write(content)
                    run = run_launcher(self.config, self.kit)
                    self.assertEqual(run.returncode, 0)
                    shell = run.named("ShellExecuteW")
                    self.assertEqual(len(shell), 1)
                    self.assertEqual(shell[0].args[2], self.kit.tool(SOC_FOLDER))
                    self.assertLessEqual(shell[0].result, 32, "the shell started something")
                    self.assertEqual(run.named("MessageBoxW"), [])
                    self.assertEqual(run.stdout, b"")
                    self.expect_traces(run, dict(soc=2), 1)
        finally:
            if os.path.exists(tool):
                os.remove(tool)
            shutil.move(saved, tool)

    def test_missing_shell32_or_user32_starts_or_shows_nothing(self):
        # Without user32 shlwapi cannot load either: no rule matches, and no box shows.
        for library, passes, outcome, counts, families in (
                ("shell32", [SOC], "nothing", dict(soc=2), 1),
                ("user32", [SOC, SOC], "no box", {}, 0)):
            with self.subTest(library):
                set_interfaces(self.config, SOC)
                disable_for_launcher(self.config, [library])
                try:
                    run = run_launcher(self.config, self.kit)
                finally:
                    disable_for_launcher(self.config, [])
                self.expect_run(run, self.kit, passes, (outcome,))
                self.expect_traces(run, counts, families)

    def test_planted_libraries_are_never_loaded(self):
        kit = Kit(self.config, "planted")
        kit.plant(PLANTED_NAMES)
        for order, planted_order in (("native first", ALL_PLANTED_OVERRIDE), ("default", "")):
            for interfaces, outcome in ((SOC, ("start", SOC_FOLDER)),
                                        (SOC + [ENTRY], ("notice", "many", "en"))):
                with self.subTest(order=order, outcome=outcome[0]):
                    set_interfaces(self.config, interfaces)
                    run = run_launcher(self.config, kit, planted_order=planted_order)
                    self.expect_run(run, kit, [interfaces], outcome)

    def test_a_thousand_interfaces(self):
        interfaces = [Interface("VID_7C2F&PID_2003&MI_%02X" % (n % 2), "7&%08x&0&0000" % n)
                      for n in range(1000)]
        set_interfaces(self.config, interfaces)
        run = run_launcher(self.config, self.kit, timeout=300)
        self.expect_run(run, self.kit, [interfaces], ("start", SOC_FOLDER))
        self.expect_traces(run, dict(soc=1000), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
