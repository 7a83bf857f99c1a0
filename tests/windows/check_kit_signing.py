"""scripts/kit.sh checked from the outside, with a throwaway CA, a code-signing certificate and
a timestamp authority on loopback: the signed launcher verifies against that CA with its
timestamp and still starts a receiver's tool under Wine, SHA256SUMS lists every file the kit
carries once, tools included, and its signature passes the check of docs/release.md, which
a swapped tool fails; the build's own launcher stays unsigned, runs on one build give the same
ZIP bytes whatever the time, zone, umask, locale or tools path, bad input fails with one line
and leaves nothing, and so does each trap a supplier's tool folder may hold.
check_kit_signing.py SOURCE_DIR BUILD_DIR
"""

import hashlib, http.server, os, re, shutil, signal, socket, stat, subprocess, sys, tempfile
import threading, time, unittest, zipfile

from winekit import Config, Interface, Kit, restart_server, run_launcher, set_interfaces
from kit_description import FAMILY_FOLDERS, FOLDER_OF, TOOL_FILE, VERSION

SOC = FOLDER_OF["SOC"]  # a tool folder that carries files of its own in these cases

SOURCE_DIR, BUILD_DIR = sys.argv.pop(1), sys.argv.pop(1)
KIT = "TamsuPairKit-%s-win32" % VERSION
FOLDER = tempfile.mkdtemp(prefix="kit-signing.")
OPENSSL_CONFIG = """[req]\ndistinguished_name = dn\n[dn]\n[tsa]\nserial = serial
default_policy = 1.2.3.4.1\ndigests = sha256\nsigner_digest = sha256\n[early]\ndatabase = index.txt
serial = early.serial\nnew_certs_dir = .\ndefault_md = sha256\npolicy = any\n[any]
commonName = supplied\n"""
# A code-signing certificate that becomes valid a day from now.
VALID_FROM = int(time.time()) + 86400
# The signed kit's date (an even second: a ZIP date has two-second steps).
SOURCE_DATE_EPOCH = 1700000000
NOTES = SOC + "/\u8bf4\u660e.txt"  # carried beside a tool
# Past kit.sh's 1 MiB piece, in bytes that differ from one piece to the next.
LARGE = (SOC + "/firmware.bin", bytes(range(256)) * 4097)


def run(*args, cwd=FOLDER, environment=None, umask=-1):
    """ARGS' outcome; a run that hangs (a FIFO read) is ended, with all it started, and fails."""
    with subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, stdin=subprocess.DEVNULL, start_new_session=True, umask=umask,
                          env=dict(os.environ, **(environment or {}))) as process:
        try:
            out, err = process.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
            err += "\nhung: ended after 120 s"
    return subprocess.CompletedProcess(args, process.returncode, out, err)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class TimestampAuthority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "openssl.cnf", "-section",
                                "tsa", "-queryfile", "/dev/stdin", "-signer", "stamp.pem",
                                "-inkey", "stamp.key", "-chain", "ca.pem", "-out", "/dev/stdout"],
                               cwd=FOLDER, input=self.rfile.read(int(self.headers["Content-Length"])),
                               capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    log_message = lambda self, *args: None


# The kit's Linux launcher, built once (setUpClass) for every kit of these checks.
LINUX_BUILD = os.path.join(SOURCE_DIR, "build", "linux-kit")
# What the kit carries for Linux besides the tools, at its top.
LINUX_FILES = ("70-tamsu-receivers.rules", "tamsu-launcher", "tamsu-pair-kit.desktop",
               "tamsu-pair-kit.png")


def kit_sh(output, *args, cwd=FOLDER, **how):
    os.makedirs(os.path.join(cwd, output), exist_ok=True)
    return run("bash", os.path.join(SOURCE_DIR, "scripts", "kit.sh"), "--from", BUILD_DIR,
               "--linux-from", LINUX_BUILD, "--output", output, *args, cwd=cwd, **how)


def zip_dates(path):
    with zipfile.ZipFile(path) as archive:
        return {info.date_time for info in archive.infolist()}


def files_of(path):
    """The files of a kit ZIP (not its folders), by their names in the kit."""
    with zipfile.ZipFile(path) as archive:
        return {n[len(KIT) + 1:]: archive.read(n) for n in archive.namelist() if n[-1] != "/"}


# The check docs/release.md gives users of a signed kit, run in the unpacked kit's folder with
# the publisher's certificate in ../publisher.pem.
with open(os.path.join(SOURCE_DIR, "docs", "release.md"), encoding="utf-8") as f:
    KIT_CHECK = re.search(r"^openssl cms -verify .*?(?=^```)", f.read(), re.M | re.S).group(0)

def bind_socket(path):
    with socket.socket(socket.AF_UNIX) as bound:
        bound.bind(path)  # the socket file stays when it is closed


# What a supplier's tool folder may hold instead of a plain file: a link out of it (to a file,
# or a folder), a FIFO, a socket, a device.
SECRET = os.path.join(FOLDER, "secret")
SPECIAL = {"link": lambda p: os.symlink(os.path.join(SECRET, "shadow"), p),
           "folder link": lambda p: os.symlink(SECRET, p),
           "fifo": os.mkfifo,
           "socket": bind_socket,
           "character device": lambda p: os.mknod(p, stat.S_IFCHR | 0o600, os.makedev(1, 3)),
           "block device": lambda p: os.mknod(p, stat.S_IFBLK | 0o600, os.makedev(7, 200))}


def plant(tools, path, what):
    """WHAT at PATH in the tools folder: bytes for a file, one of SPECIAL, or None to remove."""
    target = os.path.join(tools, path)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if what is None:
        shutil.rmtree(target)
    elif isinstance(what, bytes):
        with open(target, "wb") as f:
            f.write(what)
    else:
        SPECIAL[what](target)


# Each trap of a supplier's tool folder: what the clean pack carries beside the tools, what the
# attack plants instead, whether kit.sh refuses it (one line, no ZIP) or packs without it, and
# what its line says.
REFUSED, PACKED = "refused", "packed"
SUPPLIER_TRAPS = (
    ("link_to_a_file", (SOC + "/license.txt", b"MIT"), (SOC + "/license.txt", "link"),
     REFUSED, SOC + "/license.txt is a symbolic link"),
    ("link_to_a_folder", (SOC + "/docs/a.txt", b"a"), (SOC + "/docs", "folder link"),
     REFUSED, SOC + "/docs is a symbolic link"),
    ("fifo", (SOC + "/pipe", b""), (SOC + "/pipe", "fifo"), REFUSED, "pipe is a FIFO"),
    ("socket", (SOC + "/s", b""), (SOC + "/s", "socket"), REFUSED, "s is a socket"),
    ("character_device", (SOC + "/null", b""), (SOC + "/null", "character device"), REFUSED,
     "null is a character device"),
    ("block_device", (SOC + "/disk", b""), (SOC + "/disk", "block device"), REFUSED,
     "disk is a block device"),
    ("backslash", (SOC + "/planted.dll", b"MZ"), (SOC + "/..\\..\\..\\planted.dll", b"MZ"),
     REFUSED, "planted.dll holds a character Windows refuses"),
    ("colon", (SOC + "/x-stream", b"x"), (SOC + "/x:stream", b"x"), REFUSED, "x:stream holds"),
    ("star_question_mark", (SOC + "/ab", b"x"), (SOC + "/a*b?", b"x"), REFUSED, "a*b? holds"),
    ("quote", (SOC + "/ab", b"x"), (SOC + '/a"b', b"x"), REFUSED, 'a"b holds'),
    ("less_than", (SOC + "/ab", b"x"), (SOC + "/a<b", b"x"), REFUSED, "a<b holds"),
    ("greater_than", (SOC + "/ab", b"x"), (SOC + "/a>b", b"x"), REFUSED, "a>b holds"),
    ("bar", (SOC + "/ab", b"x"), (SOC + "/a|b", b"x"), REFUSED, "a|b holds"),
    ("newline", (SOC + "/x README.txt", b"x"), (SOC + "/x\nREADME.txt", b"x"), REFUSED,
     SOC + "/x\\nREADME.txt holds"),
    ("not_utf8", (SOC + "/cafe.txt", b"x"), (SOC + "/caf\udce9.txt", b"x"), REFUSED,
     SOC + "/caf\\xe9.txt is not valid UTF-8"),
    ("trailing_dot", (SOC + "/TamsuPair.exe.txt", b"x"), (SOC + "/TamsuPair.exe.", b"x"),
     REFUSED, "TamsuPair.exe. ends in a dot"),
    ("trailing_space", (SOC + "/notes.txt", b"x"), (SOC + "/notes.txt ", b"x"), REFUSED,
     "notes.txt  ends in a dot or a space"),
    ("device_name", (SOC + "/CONFIG", b"x"), (SOC + "/CON", b"x"), REFUSED,
     "CON is a device name"),
    ("device_name_with_two_extensions", (SOC + "/null.tar.gz", b"x"),
     (SOC + "/nul.tar.gz", b"x"), REFUSED, "nul.tar.gz is a device name"),
    ("device_name_superscript_one", (SOC + "/COM1x", b"x"), (SOC + "/COM\u00b9", b"x"),
     REFUSED, "COM\u00b9 is a device name"),
    ("device_name_superscript_three", (SOC + "/lpt3x.txt", b"x"), (SOC + "/lpt\u00b3.txt", b"x"),
     REFUSED, "lpt\u00b3.txt is a device name"),
    ("device_name_with_extension", (SOC + "/com10.txt", b"x"), (SOC + "/com1.txt", b"x"),
     REFUSED, "com1.txt is a device name"),
    ("case_collision", (SOC + "/tamsupair.txt", b"x"), (SOC + "/tamsupair.exe", b"x"),
     REFUSED, "tamsupair.exe is the same name on Windows as"),
    ("hidden_file", None, (SOC + "/.DS_Store", b"x"), PACKED, "left out trap/%s/.DS_Store" % SOC),
    ("hidden_folder", None, (SOC + "/.git/config", b"x"), PACKED, "left out trap/%s/.git" % SOC),
    ("tool_folder_left_out", None, (FOLDER_OF["Bk"], None), PACKED, "with no tools: " + FOLDER_OF["Bk"]),
)


class SignedKit(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.addClassCleanup(shutil.rmtree, FOLDER)
        # A tool in every folder; one in a folder the kit has not; a folder without its tool.
        for tools, folder in [("tools", f) for f in FAMILY_FOLDERS] + [("stray", "Old")]:
            os.makedirs(os.path.join(FOLDER, tools, folder))
            shutil.copy(Config().stand_in, os.path.join(FOLDER, tools, folder, TOOL_FILE))
        os.makedirs(os.path.join(FOLDER, "toolless", FAMILY_FOLDERS[0]))
        # A name that is not ASCII (a locale's other encoding would read it as other characters),
        # and a file outside every tools folder for a link to point at.
        plant(os.path.join(FOLDER, "tools"), NOTES, b"notes")
        plant(os.path.join(FOLDER, "tools"), *LARGE)
        assert run("sh", "-c", "cmake --preset linux-kit >/dev/null && cmake --build --preset "
                   "linux-kit --target tamsu-launcher", cwd=SOURCE_DIR).returncode == 0
        plant(SECRET, "shadow", b"root:secret")
        for name, text in (("openssl.cnf", OPENSSL_CONFIG), ("password", "kit password\n"),
                           ("password-crlf", "kit password\r\n"), ("wrong", "not it\n"),
                           ("index.txt", ""), ("early.serial", "01\n"),
                           ("early.ext", "extendedKeyUsage=codeSigning\n")):
            with open(os.path.join(FOLDER, name), "w") as f:
                f.write(text)
        for name, extension in (("ca", "basicConstraints=critical,CA:true"),
                                ("code", "extendedKeyUsage=codeSigning"),
                                ("server", "extendedKeyUsage=serverAuth"),
                                ("stamp", "extendedKeyUsage=critical,timeStamping")):
            issuer = ["-CA", "ca.pem", "-CAkey", "ca.key"] if name != "ca" else []
            assert run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                       "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-config", "openssl.cnf",
                       "-subj", "/CN=Throwaway " + name, "-keyout", name + ".key", "-out",
                       name + ".pem", "-addext", extension, *issuer).returncode == 0
            assert run("openssl", "pkcs12", "-export", "-inkey", name + ".key", "-in", name + ".pem",
                       "-certfile", "ca.pem", "-passout", "file:password", "-out",
                       name + ".p12").returncode == 0
        stamp = lambda t: time.strftime("%Y%m%d%H%M%SZ", time.gmtime(t))
        assert run("openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                   "-nodes", "-config", "openssl.cnf", "-subj", "/CN=Throwaway early", "-keyout",
                   "early.key", "-out", "early.csr").returncode == 0
        assert run("openssl", "ca", "-batch", "-config", "openssl.cnf", "-name", "early", "-cert",
                   "ca.pem", "-keyfile", "ca.key", "-in", "early.csr", "-extfile", "early.ext",
                   "-startdate", stamp(VALID_FROM), "-enddate", stamp(VALID_FROM + 86400),
                   "-notext", "-out", "early.pem").returncode == 0
        assert run("openssl", "pkcs12", "-export", "-inkey", "early.key", "-in", "early.pem",
                   "-certfile", "ca.pem", "-passout", "file:password", "-out",
                   "early.p12").returncode == 0
        server = http.server.HTTPServer(("127.0.0.1", 0), TimestampAuthority)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        cls.addClassCleanup(server.server_close)
        cls.addClassCleanup(server.shutdown)
        cls.build_launcher = Config().launcher
        with open(cls.build_launcher, "rb") as f:
            cls.built = sha256(f.read())
        # An output folder that looks like an option, and a password file with CRLF line ends.
        cls.result = kit_sh("-signed", "--sign", "code.p12", "--password-file", "password-crlf",
                            "--timestamp", "http://127.0.0.1:%d/" % server.server_address[1],
                            "--tools", "tools",
                            environment={"SOURCE_DATE_EPOCH": str(SOURCE_DATE_EPOCH)})
        if cls.result.returncode == 0:
            with zipfile.ZipFile(os.path.join(FOLDER, "-signed", KIT + ".zip")) as archive:
                cls.names = sorted(archive.namelist())
                cls.modes = {i.filename[len(KIT) + 1:]: i.external_attr >> 16
                             for i in archive.infolist()}
                archive.extractall(os.path.join(FOLDER, "unpacked"))
        cls.launcher = os.path.join(FOLDER, "unpacked", KIT, "TamsuLauncher.exe")

    def test_signed_with_timestamp_and_checksums(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        check = run("osslsigncode", "verify", "-in", self.launcher, "-CAfile", "ca.pem",
                    "-TSA-CAfile", "ca.pem")
        print(check.stdout)
        self.assertEqual(check.returncode, 0, check.stderr)
        for line in ("Message digest algorithm  : SHA256", "Signature verification: ok",
                     "Text description: Tamsu receiver pairing launcher",
                     "Timestamp Server Signature verification: ok"):
            self.assertIn(line, check.stdout)
        tools = [f + "/" + TOOL_FILE for f in FAMILY_FOLDERS] + [NOTES, LARGE[0]]
        self.assertEqual(self.names, sorted(KIT + "/" + n for n in (
            "", "README.txt", "SHA256SUMS", "SHA256SUMS.p7s", "TamsuLauncher.exe", *LINUX_FILES,
            *(f + "/" for f in FAMILY_FOLDERS), *tools)))
        check = run("sha256sum", "--strict", "-c", "SHA256SUMS", cwd=os.path.dirname(self.launcher))
        self.assertEqual(sorted(check.stdout.splitlines()), sorted(
            n + ": OK" for n in ("README.txt", "TamsuLauncher.exe", *LINUX_FILES, *tools)))
        # The Linux launcher is the one program there, which unzip unpacks as one.
        self.assertEqual({n: m for n, m in self.modes.items() if m & 0o111 and stat.S_ISREG(m)},
                         {"tamsu-launcher": 0o100755})
        # A file past one piece packed whole, and listed with the whole file's checksum.
        with open(os.path.join(os.path.dirname(self.launcher), LARGE[0]), "rb") as f:
            self.assertEqual(f.read(), LARGE[1])
        self.assertEqual(run("sha256sum", "-c", KIT + ".zip.sha256", cwd=FOLDER + "/-signed").returncode, 0)
        # The signature of SHA256SUMS also beside the ZIP, to publish with it.
        with open(os.path.join(FOLDER, "-signed", "SHA256SUMS.p7s"), "rb") as f:
            self.assertEqual(f.read(), files_of(os.path.join(FOLDER, "-signed", KIT + ".zip"))[
                "SHA256SUMS.p7s"])
        self.assertEqual(zip_dates(os.path.join(FOLDER, "-signed", KIT + ".zip")),
                         {time.gmtime(SOURCE_DATE_EPOCH)[:6]})
        self.assert_sums_list_each_file_once(files_of(os.path.join(FOLDER, "-signed", KIT + ".zip")))

    def test_unsigned_kit_says_so_holds_the_build_launcher_and_is_reproducible(self):
        started = time.time()
        # An earlier signed kit's signature there must not pass for this kit's.
        plant(os.path.join(FOLDER, "unsigned"), "SHA256SUMS.p7s", b"earlier")
        result = kit_sh("unsigned", "--tools", "tools")
        self.assertIn("NOT signed", result.stderr)
        first = os.path.join(FOLDER, "unsigned", KIT + ".zip")
        self.assertEqual(sorted(os.listdir(os.path.dirname(first))), [KIT + ".zip",
                                                                      KIT + ".zip.sha256"])
        with zipfile.ZipFile(first) as archive:
            self.assertEqual(sha256(archive.read(KIT + "/TamsuLauncher.exe")), self.built)
            names = archive.namelist()
        self.assertEqual(names, sorted(names))
        commit = int(run("git", "-C", SOURCE_DIR, "log", "-1", "--format=%ct").stdout)
        self.assertEqual(zip_dates(first), {time.gmtime(commit - commit % 2)[:6]})
        self.assert_sums_list_each_file_once(files_of(first))
        # A locale whose file names are GB18030, not UTF-8, and the tools in a folder whose name
        # reads as an option (find took "-delete" for one, in a folder of its own here).
        locales = os.path.join(FOLDER, "locales")
        os.makedirs(locales)
        self.assertEqual(run("localedef", "-i", "zh_CN", "-f", "GB18030",
                             os.path.join(locales, "zh_CN.GB18030")).returncode, 0)
        dash = os.path.join(FOLDER, "dash")
        shutil.copytree(os.path.join(FOLDER, "tools"), os.path.join(dash, "-delete"))
        plant(dash, "kept", b"")
        time.sleep(max(0, started + 2.1 - time.time()))
        for output, tools, how in (
                # in another two-second step of a ZIP date, in another zone, with other file modes
                ("again", "tools", dict(environment={"TZ": "XYZ-5:45"}, umask=0o077)),
                ("gb18030", "tools", dict(environment={"LC_ALL": "zh_CN.GB18030",
                                                       "LOCPATH": locales})),
                ("dash", "-delete", dict(cwd=dash))):
            with self.subTest(output):
                result = kit_sh(output, "--tools", tools, **how)
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(first, "rb") as one, \
                        open(os.path.join(how.get("cwd", FOLDER), output, KIT + ".zip"), "rb") as two:
                    self.assertEqual(sha256(one.read()), sha256(two.read()))
        self.assertEqual(sorted(os.listdir(dash)), ["-delete", "dash", "kept"])

    def assert_sums_list_each_file_once(self, files):
        """SHA256SUMS of a kit's FILES lists each of them once, but itself and its signature."""
        files = dict(files)
        listed = files.pop("SHA256SUMS").decode("utf-8").splitlines()
        files.pop("SHA256SUMS.p7s", None)
        self.assertEqual(sorted(listed), sorted("%s  %s" % (sha256(data), name)
                                                for name, data in files.items()))

    def test_supplier_traps_are_refused_or_left_out(self):
        for case, clean, attack, outcome, words in SUPPLIER_TRAPS:
            with self.subTest(case):
                # First the same tools with a harmless file in the trap's place, which must ship.
                row, tools = os.path.join(FOLDER, "traps", case), "trap"
                shutil.copytree(os.path.join(FOLDER, "tools"), os.path.join(row, tools))
                if clean:
                    plant(os.path.join(row, tools), *clean)
                result = kit_sh("clean", "--tools", tools, cwd=row)
                self.assertEqual(result.returncode, 0, result.stderr)
                files = files_of(os.path.join(row, "clean", KIT + ".zip"))
                self.assertIn(clean[0] if clean else NOTES, files)
                self.assert_sums_list_each_file_once(files)
                shutil.rmtree(os.path.join(row, tools))
                shutil.copytree(os.path.join(FOLDER, "tools"), os.path.join(row, tools))
                plant(os.path.join(row, tools), *attack)
                result = kit_sh("attack", "--tools", tools, cwd=row)
                if outcome == REFUSED:
                    self.assertNotEqual(result.returncode, 0)
                    self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                    self.assertIn(words, result.stderr)
                    self.assertEqual(os.listdir(os.path.join(row, "attack")), [])
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertIn(words, result.stderr)
                    self.assertFalse([n for n in files_of(os.path.join(row, "attack", KIT + ".zip"))
                                      if (n + "/").startswith(attack[0] + "/")])

    def test_kit_check_passes_the_signed_kit_and_fails_a_swapped_tool(self):
        def swap(kit):  # another tool, and its line in SHA256SUMS to match
            with open(os.path.join(kit, SOC, TOOL_FILE), "ab") as f:
                f.write(b"swapped")
            with open(os.path.join(kit, SOC, TOOL_FILE), "rb") as f:
                line = "%s  %s/%s" % (sha256(f.read()), SOC, TOOL_FILE)
            with open(os.path.join(kit, "SHA256SUMS"), "r+") as f:
                sums = re.sub(".*  " + re.escape(SOC + "/" + TOOL_FILE), line, f.read())
                f.seek(0)
                f.write(sums)

        def resign(kit):  # and SHA256SUMS signed anew, with a key of the same CA
            swap(kit)
            self.assertEqual(run("openssl", "cms", "-sign", "-binary", "-signer",
                                 os.path.join(FOLDER, "server.pem"), "-inkey",
                                 os.path.join(FOLDER, "server.key"), "-outform", "DER", "-in",
                                 "SHA256SUMS", "-out", "SHA256SUMS.p7s", cwd=kit).returncode, 0)

        def add(kit):  # a library the tool would load, listed nowhere
            plant(kit, SOC + "/version.dll", b"MZ")

        for case, tamper in (("swapped_tool", swap), ("resigned_with_another_key", resign),
                             ("library_added", add)):
            with self.subTest(case):
                kit = os.path.join(FOLDER, "tampered", case, KIT)
                shutil.copytree(os.path.dirname(self.launcher), kit)
                shutil.copy(os.path.join(FOLDER, "code.pem"), os.path.join(kit, "..", "publisher.pem"))
                check = run("sh", "-c", KIT_CHECK, cwd=kit)
                self.assertEqual(check.returncode, 0, check.stderr)
                tamper(kit)
                self.assertNotEqual(run("sh", "-c", KIT_CHECK, cwd=kit).returncode, 0)

    def test_bad_input_fails_with_one_line_and_leaves_nothing(self):
        for output, message, p12, password, *more in (
                ("missing", "cannot read the PKCS12", "none.p12", "password"),
                ("not_pkcs12", "not a PKCS12", "ca.pem", "password"),
                ("wrong_password", "wrong password", "code.p12", "wrong"),
                ("not_for_code", "Code Signing", "server.p12", "password"),
                ("not_yet_valid", "not yet valid: it becomes valid on " + time.strftime(
                    "%Y-%m-%d %H:%M:%S UTC", time.gmtime(VALID_FROM)), "early.p12", "password"),
                ("no_timestamp", "timestamp", "code.p12", "password", "--timestamp",
                 "http://127.0.0.1:9/"),
                ("stray_folder", "not one of the kit's tool folders", "code.p12", "password",
                 "--tools", "stray"),
                ("folder_without_tool", "no " + TOOL_FILE, "code.p12", "password", "--tools",
                 "toolless")):
            with self.subTest(output):
                result = kit_sh(output, "--sign", p12, "--password-file", password, *more)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(os.listdir(os.path.join(FOLDER, output)), [])
        with open(self.build_launcher, "rb") as f:
            self.assertEqual(sha256(f.read()), self.built)  # never signed in place

    def test_signed_launcher_starts_the_tool_under_wine(self):
        config = Config()
        config.launcher = self.launcher  # the kit below gets the signed copy
        restart_server(config)
        kit = Kit(config, "signed")
        set_interfaces(config, [Interface("VID_7C2F&PID_2003&MI_00")])
        run = run_launcher(config, kit)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(kit.started(wait_for=FOLDER_OF["SOC"]), [FOLDER_OF["SOC"]])


if __name__ == "__main__":
    unittest.main()
