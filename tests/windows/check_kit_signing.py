"""The kit that scripts/kit.sh writes, checked from the outside. A throwaway CA, a code-signing
certificate and a timestamp authority on loopback are made here: the launcher in the ZIP
verifies against that CA with its timestamp, SHA256SUMS checks, the signed launcher still
starts a receiver's tool under Wine, the build's own launcher is left as it was, and bad
signing input fails with one line and leaves nothing behind.
check_kit_signing.py SOURCE_DIR BUILD_DIR
"""

import hashlib
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

from winekit import Config, Interface, Kit, restart_server, run_launcher, set_interfaces

SOURCE_DIR, BUILD_DIR = sys.argv.pop(1), sys.argv.pop(1)
KIT = "TamsuPairKit-1.5.0-win32"

OPENSSL_CONFIG = """
[req]
distinguished_name = name
[name]
[ca]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign
[code]
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[server]
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
[stamp]
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
[authority]
serial = stamp-serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
"""


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class TimestampAuthority(http.server.BaseHTTPRequestHandler):
    """RFC 3161 over HTTP: each request goes through `openssl ts -reply`."""

    folder = None

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", "openssl.cnf", "-section", "authority",
             "-queryfile", "/dev/stdin", "-signer", "stamp.pem", "-inkey", "stamp.key",
             "-chain", "ca.pem", "-out", "/dev/stdout"],
            cwd=self.folder, input=query, capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


class SignedKit(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="kit-signing.")
        cls.addClassCleanup(shutil.rmtree, cls.folder)
        cls.make_certificates()
        TimestampAuthority.folder = cls.folder
        server = http.server.HTTPServer(("127.0.0.1", 0), TimestampAuthority)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        cls.addClassCleanup(server.server_close)
        cls.addClassCleanup(server.shutdown)
        cls.timestamp_url = "http://127.0.0.1:%d/" % server.server_address[1]

        cls.build_launcher = Config().launcher
        cls.built = digest(cls.build_launcher)
        cls.result = cls.kit_sh("signed", "--sign", cls.path("code.p12"),
                                "--password-file", cls.path("password"),
                                "--timestamp", cls.timestamp_url)
        cls.unpacked = cls.path("unpacked")
        if cls.result.returncode == 0:
            with zipfile.ZipFile(cls.path("signed", KIT + ".zip")) as archive:
                cls.names = sorted(archive.namelist())
                archive.extractall(cls.unpacked)
        cls.launcher = os.path.join(cls.unpacked, KIT, "TamsuLauncher.exe")

    @classmethod
    def path(cls, *parts):
        return os.path.join(cls.folder, *parts)

    @classmethod
    def make_certificates(cls):
        def openssl(*args):
            subprocess.run(["openssl", *args], cwd=cls.folder, check=True, capture_output=True)

        with open(cls.path("openssl.cnf"), "w") as f:
            f.write(OPENSSL_CONFIG)
        with open(cls.path("password"), "w") as f:
            f.write("kit test password\n")
        with open(cls.path("wrong-password"), "w") as f:
            f.write("not the password\n")
        key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
        openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                "-subj", "/CN=Throwaway kit CA", "-config", "openssl.cnf", "-extensions", "ca")
        for name in ("code", "server", "stamp"):
            openssl("req", "-new", *key, "-keyout", name + ".key", "-out", name + ".csr",
                    "-subj", "/CN=Throwaway " + name, "-config", "openssl.cnf")
            openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "2", "-extfile", "openssl.cnf",
                    "-extensions", name, "-out", name + ".pem")
        for name in ("code", "server"):
            openssl("pkcs12", "-export", "-inkey", name + ".key", "-in", name + ".pem",
                    "-certfile", "ca.pem", "-passout", "file:password", "-out", name + ".p12")

    @classmethod
    def kit_sh(cls, output, *args):
        os.makedirs(cls.path(output))
        return subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "kit.sh"),
                               "--from", BUILD_DIR, "--output", cls.path(output), *args],
                              capture_output=True, text=True, stdin=subprocess.DEVNULL)

    def test_signature_verifies_against_the_ca_with_its_timestamp(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        check = subprocess.run(["osslsigncode", "verify", "-in", self.launcher, "-CAfile",
                                self.path("ca.pem"), "-TSA-CAfile", self.path("ca.pem")],
                               capture_output=True, text=True)
        print(check.stdout)
        self.assertEqual(check.returncode, 0, check.stderr)
        for line in ("Message digest algorithm  : SHA256",
                     "Text description: Tamsu receiver pairing launcher",
                     "Timestamp Server Signature verification: ok",
                     "Signature verification: ok"):
            self.assertIn(line, check.stdout)

    def test_checksums_cover_every_file_of_the_kit_layout(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertEqual(self.names, [KIT + "/" + n for n in (
            "", "Alder24/", "BirchPro/", "Cedar24/", "NewCedar/", "README.txt", "SHA256SUMS",
            "TamsuLauncher.exe")])
        top = os.path.join(self.unpacked, KIT)
        check = subprocess.run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=top,
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(sorted(check.stdout.splitlines()),
                         ["README.txt: OK", "TamsuLauncher.exe: OK"])
        check = subprocess.run(["sha256sum", "-c", KIT + ".zip.sha256"], cwd=self.path("signed"),
                               capture_output=True)
        self.assertEqual(check.returncode, 0)

    def test_the_build_keeps_its_unsigned_launcher_and_an_unsigned_kit_says_so(self):
        self.assertEqual(digest(self.build_launcher), self.built)
        self.assertNotEqual(digest(self.launcher), self.built)
        result = self.kit_sh("unsigned")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("NOT signed", result.stderr)
        with zipfile.ZipFile(self.path("unsigned", KIT + ".zip")) as archive:
            launcher = archive.read(KIT + "/TamsuLauncher.exe")
        self.assertEqual(hashlib.sha256(launcher).hexdigest(), self.built)

    def test_bad_signing_input_fails_with_one_line_and_leaves_nothing(self):
        code, password = self.path("code.p12"), self.path("password")
        cases = {
            "missing": (["--sign", self.path("none.p12"), "--password-file", password],
                        "cannot read the PKCS12 file"),
            "not_pkcs12": (["--sign", self.path("ca.pem"), "--password-file", password],
                           "not a PKCS12 file"),
            "wrong_password": (["--sign", code, "--password-file", self.path("wrong-password")],
                               "wrong password"),
            "not_for_code": (["--sign", self.path("server.p12"), "--password-file", password],
                             "Code Signing"),
            "no_timestamp": (["--sign", code, "--password-file", password,
                              "--timestamp", "http://127.0.0.1:9/"], "timestamp"),
        }
        for output, (args, message) in cases.items():
            with self.subTest(output):
                result = self.kit_sh(output, *args)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(os.listdir(self.path(output)), [])
        self.assertEqual(digest(self.build_launcher), self.built)

    def test_signed_launcher_starts_the_tool_under_wine(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        config = Config()
        config.launcher = self.launcher  # the kit below gets the signed copy
        restart_server(config)
        kit = Kit(config, "signed")
        set_interfaces(config, [Interface("VID_7C2F&PID_2003&MI_00"),
                                     Interface("VID_7C2F&PID_2003&MI_01&COL01")])
        run = run_launcher(config, kit)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(kit.started(wait_for="NewCedar"), ["NewCedar"])
        self.assertEqual(run.traces[-1], "nFlag: 1\r\n")


if __name__ == "__main__":
    unittest.main()
