"""scripts/kit.sh checked from the outside, with a throwaway CA, a code-signing certificate and
a timestamp authority on loopback: the signed launcher verifies against that CA with its
timestamp and still starts a receiver's tool under Wine, SHA256SUMS checks every file the kit
carries, tools included, the build's own launcher stays unsigned, two runs on one build give
the same ZIP bytes, and bad input fails with one line and leaves nothing.
check_kit_signing.py SOURCE_DIR BUILD_DIR
"""

import hashlib, http.server, os, shutil, subprocess, sys, tempfile, threading, time, unittest
import zipfile

from winekit import Config, Interface, Kit, restart_server, run_launcher, set_interfaces
from kit_description import FAMILY_FOLDERS, FOLDER_OF, TOOL_FILE, VERSION

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


def run(*args, cwd=FOLDER, environment=None, umask=-1):
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=dict(os.environ, **(environment or {})), umask=umask)


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


def kit_sh(output, *args, **how):
    os.makedirs(os.path.join(FOLDER, output))
    return run("bash", os.path.join(SOURCE_DIR, "scripts", "kit.sh"), "--from", BUILD_DIR,
               "--output", output, *args, **how)


def zip_dates(path):
    with zipfile.ZipFile(path) as archive:
        return {info.date_time for info in archive.infolist()}


class SignedKit(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.addClassCleanup(shutil.rmtree, FOLDER)
        # A tool in every folder; one in a folder the kit has not; a folder without its tool.
        for tools, folder in [("tools", f) for f in FAMILY_FOLDERS] + [("stray", "Old")]:
            os.makedirs(os.path.join(FOLDER, tools, folder))
            shutil.copy(Config().stand_in, os.path.join(FOLDER, tools, folder, TOOL_FILE))
        os.makedirs(os.path.join(FOLDER, "toolless", FAMILY_FOLDERS[0]))
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
        tools = [f + "/" + TOOL_FILE for f in FAMILY_FOLDERS]
        self.assertEqual(self.names, sorted(KIT + "/" + n for n in (
            "", "README.txt", "SHA256SUMS", "TamsuLauncher.exe", *(f + "/" for f in FAMILY_FOLDERS),
            *tools)))
        check = run("sha256sum", "--strict", "-c", "SHA256SUMS", cwd=os.path.dirname(self.launcher))
        self.assertEqual(sorted(check.stdout.splitlines()),
                         sorted(n + ": OK" for n in ("README.txt", "TamsuLauncher.exe", *tools)))
        self.assertEqual(run("sha256sum", "-c", KIT + ".zip.sha256", cwd=FOLDER + "/-signed").returncode, 0)
        self.assertEqual(zip_dates(os.path.join(FOLDER, "-signed", KIT + ".zip")),
                         {time.gmtime(SOURCE_DATE_EPOCH)[:6]})

    def test_unsigned_kit_says_so_holds_the_build_launcher_and_is_reproducible(self):
        started = time.time()
        result = kit_sh("unsigned", "--tools", "tools")
        self.assertIn("NOT signed", result.stderr)
        first = os.path.join(FOLDER, "unsigned", KIT + ".zip")
        with zipfile.ZipFile(first) as archive:
            self.assertEqual(sha256(archive.read(KIT + "/TamsuLauncher.exe")), self.built)
            names = archive.namelist()
        self.assertEqual(names, sorted(names))
        commit = int(run("git", "-C", SOURCE_DIR, "log", "-1", "--format=%ct").stdout)
        self.assertEqual(zip_dates(first), {time.gmtime(commit - commit % 2)[:6]})
        # Again in another two-second step of a ZIP date, in another zone, with other file modes.
        time.sleep(max(0, started + 2.1 - time.time()))
        self.assertEqual(kit_sh("again", "--tools", "tools", environment={"TZ": "XYZ-5:45"},
                                umask=0o077).returncode, 0)
        with open(first, "rb") as one, open(os.path.join(FOLDER, "again", KIT + ".zip"), "rb") as two:
            self.assertEqual(sha256(one.read()), sha256(two.read()))

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
