#!/usr/bin/env python3
"""End-to-end runs of the real launcher against the local store.

Each test publishes a product of its own (a unique name) into the local blob
store, runs the launcher binary with the terminal user interface driven by
piped answers, and checks what a user would find afterwards: the exit code,
the message on stderr, the setup folder, the archive file, the started setup
program, the log and the usage records.

When the launcher is built with index keys, every index is signed with the
private key given (--index-signing-key), and the launcher's state folder is
the test's own.

Usage: launcher_e2e.py --launcher PATH --publisher PATH [--index-signing-key PATH] [unittest options]
Needs the local store running (scripts/azurite start).
"""
import argparse
import base64
import hashlib
import io
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import localstore  # noqa: E402

LAUNCHER = None
PUBLISHER = None
SIGNING_KEY = None  # a launcher with index keys: the private key that signs for it
STORE = localstore.Store(localstore.preset_settings())
BLOCK = 64 * 1024

SETUP_SCRIPT = """#!/bin/sh
# The demo setup program: says where and how it ran.
echo "started $0 in $(pwd) language=%s bitness=%s" > "$(dirname "$0")/../setup-ran.txt"
"""


def check(status_data, *ok):
    status, data = status_data
    if status not in ok:
        raise AssertionError(f"store answered {status}: {data[:300]!r}")


def signature_line(data):
    """An index.sig line for the bytes, signed by the openssl command line."""
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", SIGNING_KEY], input=data, check=True,
                         capture_output=True).stdout
    return base64.b64encode(der) + b"\n"


def make_archive(files, start_commands, arcinfo=None):
    """files: {relative path: (bytes, mode)}; members stored under their SHA-256."""
    by_hash = {}
    for path, (content, mode) in sorted(files.items()):
        digest = hashlib.sha256(content).hexdigest()
        entry = by_hash.setdefault(digest, {"content": content, "mode": mode, "dst": []})
        entry["dst"].append(path.replace("/", "\\"))
    if arcinfo is None:
        arcinfo = [{"hash": h, "dst": e["dst"]} for h, e in by_hash.items()]
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("arcinfo.json", json.dumps(arcinfo))
        archive.writestr("arcconfig.json", json.dumps({"startCommands": start_commands}))
        for digest, entry in by_hash.items():
            info = zipfile.ZipInfo(digest, date_time=(2024, 1, 1, 0, 0, 0))
            info.create_system = 3
            info.external_attr = (0o100000 | entry["mode"]) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, entry["content"])
    return out.getvalue()


def setup_files(version):
    files = {
        "readme.txt": (f"release {version}\n".encode(), 0o644),
        "docs/readme-copy.txt": (f"release {version}\n".encode(), 0o644),  # a duplicate content
        "data/blob.bin": (random.Random(version).randbytes(3 * BLOCK + 123), 0o644),
    }
    commands = []
    for language in ("de", "en"):
        for bitness in ("x64", "x86"):
            path = f"{bitness}/setup-{language}.sh"
            files[path] = ((SETUP_SCRIPT % (language, bitness)).encode(), 0o755)
            commands.append({"language": language, "bitness": bitness, "command": path.replace("/", "\\"),
                             "arguments": ""})
    return files, commands


class Product:
    """A product published into the local store, with its releases."""

    def __init__(self, name):
        self.name = name
        self.index = {"current_release": "", "releases": {}}
        check(STORE.blob("PUT", f"/{name}-v2", {"restype": "container"}, {"x-ms-blob-public-access": "blob"}), 201)

    def publish(self, version, archive, current=True, **overrides):
        container = f"{self.name}-{version.replace('.', '-')}"
        check(STORE.blob("PUT", f"/{container}", {"restype": "container"}, {"x-ms-blob-public-access": "blob"}),
              201, 409)
        blocks = [hashlib.md5(archive[i:i + BLOCK]).hexdigest() for i in range(0, len(archive), BLOCK)]
        put = {"x-ms-blob-type": "BlockBlob", "Content-Type": "application/octet-stream"}
        check(STORE.blob("PUT", f"/{container}/setup.zip", None, put, archive), 201)
        block_list = json.dumps(blocks).encode()
        check(STORE.blob("PUT", f"/{container}/setup.blocks", None, put, block_list), 201)
        entry = {"release": f"Release {version}", "containername": container, "filename": "setup.zip",
                 "blockhash": "setup.blocks", "blocksize": BLOCK, "filesize": len(archive),
                 "hash": hashlib.sha256(archive).hexdigest(), "required_setup": 4,
                 "blockhash_sha256": hashlib.sha256(block_list).hexdigest()}
        entry.update(overrides)
        self.index["releases"][version] = entry
        if current:
            self.index["current_release"] = version
        self.index["sequence"] = self.index.get("sequence", 0) + 1
        self.index["expires"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 86400))
        self.put_index(json.dumps(self.index).encode())

    def put_index(self, data, signature=None):
        """The index bytes, and (for a launcher with keys) their signature object."""
        put = {"x-ms-blob-type": "BlockBlob", "Content-Type": "application/octet-stream"}
        check(STORE.blob("PUT", f"/{self.name}-v2/index", None, put, data), 201)
        if SIGNING_KEY:
            check(STORE.blob("PUT", f"/{self.name}-v2/index.sig", None, put, signature or signature_line(data)), 201)

    def stored_index(self):
        """The index and signature object as the store holds them now."""
        return tuple(STORE.blob("GET", f"/{self.name}-v2/{name}")[1] for name in ("index", "index.sig"))


def unique_product(prefix="brelvant-e2e"):
    return f"{prefix}-{random.randrange(10**9)}"


def records(product):
    status, data = STORE.table("GET", "/downloads()")
    assert status == 200, data
    return [e for e in json.loads(data)["value"] if e.get("product") == product]


def patched_launcher(folder, product, file_name="setuplauncher"):
    """A copy of the launcher with another built-in product."""
    path = os.path.join(folder, file_name)
    shutil.copy(LAUNCHER, path)
    blob = os.path.join(folder, "product.bin")
    with open(blob, "wb") as f:
        f.write(product.encode().ljust(256, b"\0"))
    subprocess.run(["objcopy", "--update-section", f".launcher_product={blob}", path], check=True)
    return path


class Run:
    def __init__(self, launcher, answers, home, args=(), wrapper=(), cwd=None):
        # Usage records are keyed by the second and the machine: a run that
        # began in the second in which the previous run ended would have its
        # first record refused. Start each run in a fresh second.
        time.sleep(1 - time.time() % 1 + 0.01)
        self.tmp = os.path.join(home, "tmp")
        os.makedirs(self.tmp, exist_ok=True)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("LC_", "DISPLAY", "WAYLAND"))}
        env.update({"SETUPLAUNCHER_UI": "terminal", "TMPDIR": self.tmp, "HOME": home, "LANG": "C.UTF-8",
                    "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                    "XDG_STATE_HOME": os.path.join(home, ".local", "state")})
        result = subprocess.run([*wrapper, launcher, *args], input="".join(a + "\n" for a in answers).encode(),
                                env=env, capture_output=True, timeout=300, cwd=cwd)
        self.code = result.returncode
        self.stdout = result.stdout.decode("utf-8", "replace")
        self.stderr = result.stderr.decode("utf-8", "replace")
        log_path = os.path.join(self.tmp, "Vorta-Setup.log")
        self.log = []
        if os.path.exists(log_path):
            with open(log_path, encoding="utf-8") as f:
                self.log = f.read().splitlines()

    def messages(self):
        """Log lines without line numbers, stage times or progress estimates."""
        lines = [re.sub(r"^(\w+)\(\d+\): ", r"\1: ", line) for line in self.log
                 if not line.startswith("extractionprogress(")]
        return [re.sub(r"elapsed seconds: \d+$", "elapsed seconds: N", line) for line in lines]


def wait_for(path, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return True
        time.sleep(0.05)
    return False


class PublishedProduct(unittest.TestCase):
    """A product of its own for each test, and a launcher built for it."""

    def setUp(self):
        check(STORE.table("POST", "/Tables", {"TableName": "downloads"}), 201, 204, 409)
        self.home = tempfile.mkdtemp(prefix="launcher-e2e-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.dest = os.path.join(self.home, "Downloads")
        os.makedirs(self.dest)
        self.product = unique_product()
        self.launcher = patched_launcher(self.home, self.product)

    def publish_default(self):
        product = Product(self.product)
        files, commands = setup_files("1.0.0")
        product.publish("1.0.0", make_archive(files, commands), current=False)
        files, commands = setup_files("2.1.0")
        product.publish("2.1.0", make_archive(files, commands))
        return product, files

    def setup_folder(self, version="2.1.0"):
        return os.path.join(self.dest, f"{self.product}.{version}")


class LauncherEndToEnd(PublishedProduct):

    def test_all_stages_succeed(self):
        _, files = self.publish_default()
        run = Run(self.launcher, ["n", "1", "n", self.dest, "2"], self.home)
        self.assertEqual(run.code, 0, run.stderr)
        folder = self.setup_folder()
        for path, (content, _) in files.items():
            with open(os.path.join(folder, path), "rb") as f:
                self.assertEqual(f.read(), content, path)
        self.assertFalse(os.path.exists(os.path.join(self.dest, "setup.zip")), "archive deleted")
        self.assertFalse(os.path.exists(folder.rstrip(os.sep) + ".staging"), "staging folder removed")
        self.assertTrue(wait_for(os.path.join(folder, "setup-ran.txt")), "setup program started")
        with open(os.path.join(folder, "setup-ran.txt")) as f:
            self.assertIn("language=en bitness=x64", f.read())
        self.assertEqual(run.messages(), [
            f"setuplauncher: Process name {self.launcher}",
            f"setuplauncher: Product via resource {self.product}",
            "netrelease_functions: downloadSetup: elapsed seconds: N",
            "netrelease_functions: extract: elapsed seconds: N",
        ])
        actions = sorted(r["action"] for r in records(self.product))
        self.assertEqual(actions, ["begin", "success"])
        self.assertTrue(all(r["version"] == "2.1.0" and len(r) >= 18 for r in records(self.product)))

    def test_download_only_unpacks_and_starts_nothing(self):
        self.publish_default()
        run = Run(self.launcher, ["n", "2", "y", self.dest], self.home)  # the older release
        self.assertEqual(run.code, 0, run.stderr)
        folder = self.setup_folder("1.0.0")
        self.assertTrue(os.path.isfile(os.path.join(folder, "readme.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.dest, "setup.zip")))
        time.sleep(0.5)
        self.assertFalse(os.path.exists(os.path.join(folder, "setup-ran.txt")))
        self.assertEqual(sorted(r["action"] for r in records(self.product)), ["begin", "success"])

    def test_failed_extraction_keeps_the_archive_quietly(self):
        product = Product(self.product)
        files, commands = setup_files("2.1.0")
        broken = [{"hash": "0" * 64, "dst": ["missing.txt"]}]  # no such member
        product.publish("2.1.0", make_archive(files, commands, arcinfo=broken))
        run = Run(self.launcher, ["n", "1", "n", self.dest], self.home)
        self.assertEqual(run.code, 0)
        self.assertNotIn("Setup launcher:", run.stderr)
        self.assertTrue(os.path.exists(os.path.join(self.dest, "setup.zip")))
        self.assertEqual(run.messages()[-1], "netrelease_functions: extract: elapsed seconds: N")

    def test_cancelled_language_question_starts_nothing(self):
        self.publish_default()
        run = Run(self.launcher, ["n", "1", "n", self.dest], self.home)  # input ends at the language question
        self.assertEqual(run.code, 0, run.stderr)
        self.assertEqual(run.messages()[-2:], ["languageselectiondlg: throwing AbortException",
                                               "netrelease_functions: user abort"])
        self.assertTrue(os.path.isfile(os.path.join(self.setup_folder(), "readme.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.dest, "setup.zip")))
        time.sleep(0.5)
        self.assertFalse(os.path.exists(os.path.join(self.setup_folder(), "setup-ran.txt")))

    def test_download_failure_is_shown_once(self):
        run = Run(self.launcher, ["n"], self.home)  # nothing published for this product
        self.assertEqual(run.code, 0)
        text = f"{self.product} is not available for download"
        self.assertIn(f"Setup launcher: {text}\n", run.stderr)
        self.assertEqual(run.messages()[-2:], [f"netrelease_functions: throwing DownloadException({text})",
                                               "netrelease_functions: downloadSetup: elapsed seconds: N"])
        self.assertEqual(records(self.product), [])

    def test_cancelled_version_dialog_sends_nothing(self):
        self.publish_default()
        run = Run(self.launcher, ["n"], self.home)  # input ends at the version question
        self.assertEqual(run.code, 0)
        self.assertNotIn("Setup launcher:", run.stderr)
        self.assertEqual(run.messages()[-3:], ["versionselectiondlg: throwing AbortException",
                                               "netrelease_functions: downloadSetup: elapsed seconds: N",
                                               "setuplauncher: user abort"])
        self.assertEqual(records(self.product), [])

    def expect_refused_index(self, text):
        """One message box, before any question, record or file."""
        records_before = records(self.product)
        run = Run(self.launcher, ["n", "1", "y", self.dest], self.home)
        self.assertEqual(run.code, 0)
        self.assertIn(f"Setup launcher: {self.product} {text}\n", run.stderr)
        self.assertNotIn("1) Release", run.stderr)
        self.assertEqual(run.messages()[-2:], [
            f"netrelease_functions: throwing DownloadException({self.product} {text})",
            "netrelease_functions: downloadSetup: elapsed seconds: N"])
        self.assertEqual(records(self.product), records_before)
        self.assertEqual(os.listdir(self.dest), [])

    def test_changed_index_is_refused(self):
        if not SIGNING_KEY:
            self.skipTest("the launcher is built without index keys")
        product, _ = self.publish_default()
        index, signature = product.stored_index()
        product.put_index(index.replace(b'"Release 2.1.0"', b'"Release 2.1.1"'), signature)
        self.expect_refused_index("release index signature is not valid")

    def test_older_index_is_refused_after_a_newer_one(self):
        if not SIGNING_KEY:
            self.skipTest("the launcher is built without index keys")
        product = Product(self.product)
        files, commands = setup_files("1.0.0")
        product.publish("1.0.0", make_archive(files, commands))
        older = product.stored_index()
        files, commands = setup_files("2.1.0")
        product.publish("2.1.0", make_archive(files, commands))
        run = Run(self.launcher, ["n", "1", "y", self.dest], self.home)
        self.assertEqual(run.code, 0, run.stderr)
        state = os.path.join(self.home, ".local", "state", "setuplauncher", f"{self.product}.index-sequence")
        with open(state) as f:
            self.assertEqual(f.read(), "2\n")
        shutil.rmtree(self.setup_folder())
        product.put_index(*older)  # genuine, but older than the one this user saw
        self.expect_refused_index("release index is older than the one seen before")

    def test_second_run_replaces_the_setup_folder(self):
        self.publish_default()
        Run(self.launcher, ["n", "1", "y", self.dest], self.home)
        stray = os.path.join(self.setup_folder(), "left-over.txt")
        with open(stray, "w") as f:
            f.write("from the first run")
        run = Run(self.launcher, ["n", "1", "y", self.dest], self.home)
        self.assertEqual(run.code, 0, run.stderr)
        self.assertFalse(os.path.exists(stray))
        self.assertTrue(os.path.isfile(os.path.join(self.setup_folder(), "readme.txt")))

    def test_a_relative_folder_is_taken_from_the_current_one_and_shown(self):
        self.publish_default()
        run = Run(self.launcher, ["n", "1", "y", "2"], self.home, cwd=self.home)
        self.assertEqual(run.code, 0, run.stderr)
        shown = os.path.join(self.home, "2") + "/"
        self.assertIn(f"Ordner/Folder: {shown}\n", run.stderr)
        self.assertTrue(os.path.isfile(os.path.join(shown, f"{self.product}.2.1.0", "readme.txt")))


class CommandLine(PublishedProduct):
    """The options of scripted installs, one run per mode, and their exit codes."""

    def run_with(self, *args, answers=(), **kwargs):
        return Run(self.launcher, answers, self.home, args, **kwargs)

    def test_quiet_install_asks_nothing_shows_nothing_and_starts_the_setup(self):
        _, files = self.publish_default()
        run = self.run_with("--release", "2.1.0", "--destination", self.dest, "--language", "en", "--quiet")
        self.assertEqual((run.code, run.stdout, run.stderr), (0, "", ""))
        folder = self.setup_folder()
        self.assertTrue(wait_for(os.path.join(folder, "setup-ran.txt")), "setup program started")
        with open(os.path.join(folder, "setup-ran.txt")) as f:
            self.assertIn("language=en bitness=x64", f.read())
        self.assertFalse(os.path.exists(os.path.join(self.dest, "setup.zip")), "archive deleted")
        # What the windows leave behind for the same choices: log and records.
        self.assertEqual(run.messages(), [
            f"setuplauncher: Process name {self.launcher}",
            f"setuplauncher: Product via resource {self.product}",
            "netrelease_functions: downloadSetup: elapsed seconds: N",
            "netrelease_functions: extract: elapsed seconds: N",
        ])
        self.assertEqual(sorted(r["action"] for r in records(self.product)), ["begin", "success"])

    def test_passive_shows_progress_lines_and_takes_defaults(self):
        self.publish_default()
        run = self.run_with("--passive", "--destination", "setups", "--download-only", cwd=self.home)
        self.assertEqual(run.code, 0, run.stderr)
        self.assertTrue(os.path.isfile(os.path.join(self.home, "setups", f"{self.product}.2.1.0", "readme.txt")))
        # Not a terminal: a line per tenth, with bytes done and in all.
        for stage in ("download", "extract"):
            lines = [line for line in run.stderr.splitlines() if line.startswith(stage + " ")]
            self.assertTrue(2 <= len(lines) <= 11, run.stderr)
            self.assertRegex(lines[-1], r"\[#+\] [0-9.]+ KiB / [0-9.]+ KiB")

    def test_open_questions_are_asked_and_a_typed_folder_is_shown(self):
        self.publish_default()
        # No product-matrix question with options; the release is fixed, so
        # only download-only, the folder and the language are answered.
        run = self.run_with("--release", "1.0.0", answers=["", "n", "here", "1"], cwd=self.home)
        self.assertEqual(run.code, 0, run.stderr)
        self.assertNotIn("Download and install launcher", run.stderr)
        self.assertIn("  1) Release 1.0.0\n", run.stderr)
        self.assertNotIn("Release 2.1.0", run.stderr)
        folder = os.path.join(self.home, "here", f"{self.product}.1.0.0")
        self.assertIn(f"Ordner/Folder: {os.path.join(self.home, 'here')}/\n", run.stderr)
        self.assertTrue(wait_for(os.path.join(folder, "setup-ran.txt")))
        with open(os.path.join(folder, "setup-ran.txt")) as f:
            self.assertIn("language=de", f.read())

    def test_cancelled_question_exits_3(self):
        self.publish_default()
        run = self.run_with("--release", "current")  # input ends at the version question
        self.assertEqual(run.code, 3, run.stderr)
        self.assertEqual(records(self.product), [])

    def test_release_not_offered_exits_2_with_the_offered_releases(self):
        self.publish_default()
        run = self.run_with("--release", "9.9.9", "--destination", self.dest, "--quiet")
        self.assertEqual(run.code, 2, run.stderr)
        self.assertIn("9.9.9", run.stderr)
        self.assertRegex(run.stderr, r"\n  2\.1\.0 +Release 2\.1\.0 +\(current\)\n  1\.0\.0 +Release 1\.0\.0\n")
        self.assertEqual(records(self.product), [])
        self.assertEqual(os.listdir(self.dest), [])

    def test_store_down_exits_1_with_the_message_and_the_log(self):
        self.publish_default()
        unshare = shutil.which("unshare")
        self.assertIsNotNone(unshare, "unshare (util-linux) is needed")
        # A network namespace of its own, with no interface up: nothing answers.
        run = self.run_with("--quiet", "--destination", self.dest, wrapper=(unshare, "--net"))
        self.assertEqual(run.code, 1, run.stderr)
        self.assertIn(f"{self.product} is not available for download\n", run.stderr)
        self.assertIn(os.path.join(self.home, "tmp", "Vorta-Setup.log"), run.stderr)

    def test_wait_returns_the_setup_programs_exit_code(self):
        product = Product(self.product)
        files = {"setup.sh": (b"#!/bin/sh\nexit 7\n", 0o755)}
        product.publish("3.0.0", make_archive(files, [{"language": "*", "bitness": "*", "command": "setup.sh",
                                                        "arguments": ""}]))
        run = self.run_with("--release", "current", "--destination", self.dest, "--quiet", "--wait")
        self.assertEqual(run.code, 7, run.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dest, "setup.zip")), "archive deleted")

    def test_list_prints_the_offered_releases(self):
        self.publish_default()
        run = self.run_with("--list")
        self.assertEqual(run.code, 0, run.stderr)
        self.assertEqual([line.split()[0] for line in run.stdout.splitlines()], ["2.1.0", "1.0.0"])
        run = self.run_with("--list", "--json")
        self.assertEqual(run.code, 0, run.stderr)
        listed = json.loads(run.stdout)
        self.assertEqual(listed["product"], self.product)
        self.assertEqual([(r["key"], r["current"]) for r in listed["releases"]], [("2.1.0", True), ("1.0.0", False)])

    def test_help_version_and_bad_usage(self):
        run = self.run_with("--help")
        self.assertEqual((run.code, run.stderr), (0, ""))
        self.assertTrue(run.stdout)
        run = self.run_with("--version")
        self.assertEqual(run.code, 0)
        self.assertIn(self.product, run.stdout)
        self.assertIn("release index:  " + ("verified" if SIGNING_KEY else "not verified"), run.stdout)
        run = self.run_with("--destination")
        self.assertEqual((run.code, run.stdout), (2, ""))
        self.assertIn("--destination", run.stderr)


class PublisherFixture(unittest.TestCase):
    """A product published with setuppublish, and a launcher built for it."""

    def setUp(self):
        check(STORE.table("POST", "/Tables", {"TableName": "downloads"}), 201, 204, 409)
        self.home = tempfile.mkdtemp(prefix="launcher-e2e-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.dest = os.path.join(self.home, "Downloads")
        self.product = unique_product()
        self.launcher = patched_launcher(self.home, self.product)

    def make_source(self, version):
        source = os.path.join(self.home, f"source-{version}")
        files = {
            "readme.txt": f"release {version}\n".encode(),
            "docs/readme.txt": f"release {version}\n".encode(),  # stored once
            "docs/deep/er/data.bin": random.Random(version).randbytes(5 * BLOCK + 7),
            "setup.sh": b"#!/bin/sh\necho started > \"$(dirname \"$0\")/setup-ran.txt\"\n",
        }
        for path, content in files.items():
            full = os.path.join(source, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(content)
        os.chmod(os.path.join(source, "setup.sh"), 0o755)
        os.chmod(os.path.join(source, "readme.txt"), 0o644)
        return source

    def publish(self, version, *extra):
        s = STORE.s
        signing = ["--sign-key", SIGNING_KEY] if SIGNING_KEY else []
        subprocess.run([PUBLISHER, "publish", self.make_source(version), "--product", self.product, "--version", version,
                        "--release", f"Release {version}", "--block-size", str(BLOCK), "--start", "*:*:setup.sh",
                        "--account", s["account"], *signing,
                        "--endpoint", f"https://{s['blob_host']}:{s['blob_port']}", "--ca-file", s["ca_file"],
                        "--work-dir", self.home, *extra], check=True, capture_output=True,
                       env=dict(os.environ, SETUPPUBLISH_KEY=s["key"]))

    def tree(self, folder, skip=()):
        result = {}
        for base, _, names in os.walk(folder):
            for name in names:
                full = os.path.join(base, name)
                relative = os.path.relpath(full, folder)
                if relative not in skip:
                    with open(full, "rb") as f:
                        result[relative] = (f.read(), os.stat(full).st_mode & 0o111 != 0)
        return result


class PublishedWithThePublisher(PublisherFixture):
    """What setuppublish makes, the launcher installs: the same tree, the same modes."""

    def test_round_trip_keeps_every_file_and_its_executable_bit(self):
        self.publish("1.0.0", "--current")
        self.publish("1.1.0", "--current")
        run = Run(self.launcher, ["n", "2", "n", self.dest], self.home)  # both offered; take the older one
        self.assertEqual(run.code, 0, run.stderr)
        self.assertIn("1) Release 1.1.0", run.stderr)
        self.assertIn("2) Release 1.0.0", run.stderr)
        folder = os.path.join(self.dest, f"{self.product}.1.0.0")
        self.assertTrue(wait_for(os.path.join(folder, "setup-ran.txt")), "setup.sh started directly")
        self.assertEqual(self.tree(folder, skip={"setup-ran.txt"}),
                         self.tree(os.path.join(self.home, "source-1.0.0")))
        self.assertFalse(os.path.exists(os.path.join(self.dest, f"{self.product}-1.0.0.zip")))


class DifferentialUpdate(PublisherFixture):
    """With 2.0's setup folder on disk, installing 2.1 fetches only what 2.0 lacks."""

    def make_release(self, version, changed=(), removed=(), added=()):
        source = os.path.join(self.home, f"source-{version}")
        for i in range(24):
            if i in removed:
                continue
            seed = f"{version}-{i}" if i in changed else f"file-{i}"
            path = os.path.join(source, f"dir{i % 3}", f"file-{i}.bin")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(random.Random(seed).randbytes(BLOCK // 2 + i))
        for name in added:
            with open(os.path.join(source, name), "wb") as f:
                f.write(random.Random(name).randbytes(1000))
        with open(os.path.join(source, "setup.sh"), "wb") as f:
            f.write(b"#!/bin/sh\necho started > \"$(dirname \"$0\")/setup-ran.txt\"\n")
        os.chmod(os.path.join(source, "setup.sh"), 0o755)
        return source

    def publish_release(self, version, source):
        s = STORE.s
        signing = ["--sign-key", SIGNING_KEY] if SIGNING_KEY else []
        subprocess.run([PUBLISHER, "publish", source, "--product", self.product, "--version", version,
                        "--release", f"Release {version}", "--block-size", str(BLOCK), "--start", "*:*:setup.sh",
                        "--account", s["account"], *signing, "--current",
                        "--endpoint", f"https://{s['blob_host']}:{s['blob_port']}", "--ca-file", s["ca_file"],
                        "--work-dir", self.home], check=True, capture_output=True,
                       env=dict(os.environ, SETUPPUBLISH_KEY=s["key"]))

    def install_current(self):
        run = Run(self.launcher, ["n", "1", "n", self.dest], self.home)
        self.assertEqual(run.code, 0, run.stderr)
        return run

    def test_update_fetches_only_the_missing_contents_and_ends_like_a_full_install(self):
        old_source = self.make_release("2.0")
        self.publish_release("2.0", old_source)
        first = self.install_current()
        self.assertFalse(any("Differential update" in line for line in first.log), first.log)
        old_folder = os.path.join(self.dest, f"{self.product}.2.0")
        self.assertTrue(wait_for(os.path.join(old_folder, "setup-ran.txt")))
        old_tree = self.tree(old_folder)

        new_source = self.make_release("2.1", changed={3, 17}, removed={5}, added=("new.txt",))
        self.publish_release("2.1", new_source)
        run = self.install_current()
        folder = os.path.join(self.dest, f"{self.product}.2.1")
        self.assertTrue(wait_for(os.path.join(folder, "setup-ran.txt")), "setup program started")
        self.assertEqual(self.tree(folder, skip={"setup-ran.txt"}), self.tree(new_source))
        self.assertEqual(self.tree(old_folder), old_tree, "the earlier setup folder is left as it was")
        self.assertEqual(sorted(os.listdir(self.dest)), sorted([f"{self.product}.2.0", f"{self.product}.2.1"]))
        line = next(line for line in run.log if "Differential update:" in line)
        fetched, size = map(int, re.search(r"(\d+) of the archive's (\d+) bytes", line).groups())
        self.assertLess(fetched, size * 0.5, line)
        self.assertIn("22 of 25 contents taken from earlier setup folders", line)
        self.assertFalse(any("Full download" in line for line in run.log), run.log)
        self.assertEqual([m for m in run.messages() if "elapsed" in m][-2:], [
            "netrelease_functions: downloadSetup: elapsed seconds: N",
            "netrelease_functions: extract: elapsed seconds: N",
        ])
        self.assertEqual(sorted(r["action"] for r in records(self.product) if r["version"] == "2.1"),
                         ["begin", "success"])

        # The same release again replaces its own folder from itself.
        with open(os.path.join(folder, "stray.txt"), "w") as f:
            f.write("not part of the release")
        again = self.install_current()
        self.assertTrue(any("25 of 25 contents taken" in line for line in again.log), again.log)
        self.assertTrue(wait_for(os.path.join(folder, "setup-ran.txt")))
        self.assertEqual(self.tree(folder, skip={"setup-ran.txt"}), self.tree(new_source))


class ProductIdentification(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="launcher-e2e-")
        self.addCleanup(shutil.rmtree, self.home, True)

    def test_built_in_product_wins_and_is_trimmed(self):
        launcher = patched_launcher(self.home, "  Brelvant-X64 ", "brelvant-x64-sql.run")
        run = Run(launcher, [], self.home)  # no prompt: the product word is searched case-sensitively
        self.assertEqual(run.messages()[:2], [f"setuplauncher: Process name {launcher}",
                                              "setuplauncher: Product via resource   Brelvant-X64 "])
        self.assertIn("Setup launcher: Brelvant-X64 is not available for download", run.stderr)

    def test_file_name_decides_without_a_built_in_product(self):
        launcher = patched_launcher(self.home, "", "Other-Product.Setup.run")
        run = Run(launcher, [], self.home)
        self.assertEqual(run.messages()[1], "setuplauncher: Product via process name other-product.setup")
        self.assertIn("Setup launcher: other-product.setup is not available for download", run.stderr)

    def test_no_product_at_all(self):
        launcher = patched_launcher(self.home, "", "setuplauncher")
        run = Run(launcher, [], self.home)
        self.assertEqual(run.code, 0)
        self.assertIn("Setup launcher: strProduct is empty\n", run.stderr)
        self.assertIn("netrelease_functions: throwing DownloadException(strProduct is empty)", run.messages())


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--index-signing-key")
    options, rest = parser.parse_known_args()
    LAUNCHER = os.path.abspath(options.launcher)
    PUBLISHER = os.path.abspath(options.publisher)
    SIGNING_KEY = options.index_signing_key and os.path.abspath(options.index_signing_key)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
