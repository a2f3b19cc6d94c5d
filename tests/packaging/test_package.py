#!/usr/bin/env python3
"""Checks of the Debian package, its configuration file and manual pages.

ConfigurationFile: packaging/xad.conf and the manual pages document exactly
the keys the programs read, with the defaults the programs use.
ManPages: every page in build/man renders with man(1) without warnings and
documents the options its program accepts.
DebPackage: cpack builds the package into a temporary directory; its control
data, files and maintainer scripts are inspected with dpkg-deb; the programs
extracted from it serve requests with the packaged configuration; dpkg
installs, upgrades, removes and purges it in a temporary root directory.

Run: test_package.py --source-dir SRC --build-dir BUILD [--cpack CPACK] [SUITE...]
The programs and manual pages must have been built (cmake --build BUILD).
XADRA_KEEP_TEST_DIR=1 keeps the temporary directory for a look afterwards.
"""

import argparse
import gzip
import os
import pwd
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None

DAEMONS = ["xadrad", "xadooo"]
TOOLS = ["xadrac", "hpgl2png", "hpgl-info"]
MAN_PAGES = ["xadrad.8", "xadrac.1", "xadooo.8", "hpgl2png.1"]
CONFFILE = "/etc/xad/xad.conf"
KEY_RE = re.compile(r"^(xadrad_\w+|OOO_\w+)$")


def source(*parts):
    return os.path.join(ARGS.source_dir, *parts)


def build(*parts):
    return os.path.join(ARGS.build_dir, *parts)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def run(cmd, **kw):
    """Runs cmd; a non-zero exit fails with the command and its output."""
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 60)
    r = subprocess.run(cmd, **kw)
    if r.returncode != 0:
        raise AssertionError("%s exited with %d\nstdout:\n%s\nstderr:\n%s"
                             % (" ".join(cmd), r.returncode, r.stdout, r.stderr))
    return r


def project_version():
    m = re.search(r"project\(xadra VERSION ([0-9.]+)", read(source("CMakeLists.txt")))
    return m.group(1)


def same_value(documented, actual):
    """Equal as numbers when both are numbers, else as text."""
    try:
        return float(documented) == float(actual)
    except ValueError:
        return documented == actual


# ---------------------------------------------------------------------------
# What the programs read


def code_defaults():
    """{key: default text} of every configuration key xadrad and xadooo read.

    The getters are called as config->getX("key", default) in the daemon's
    main program and config.getX("KEY", s.field) in the supervisor, whose
    fields carry their key in a comment ("std::string port = "8100"; // OOO_PORT").
    """
    main = read(source("src", "daemon", "main.cpp"))
    office = read(source("src", "supervisor", "OfficeSupervisor.cpp"))
    header = read(source("src", "supervisor", "OfficeSupervisor.h"))
    constants = dict(re.findall(r'\b(k\w+)(?:\[\])?\s*=\s*"([^"]*)"', main + header))
    fields = {}
    for expr, key in re.findall(r"^\s*std::string \w+ = (.+?);\s*// (OOO_\w+)", header, re.M):
        fields[key] = expr.strip()

    def resolve(key, expr):
        expr = expr.strip()
        if expr.startswith("s."):
            expr = fields[key]
        if expr.startswith('"'):
            return expr.strip('"')
        if expr in constants:
            return constants[expr]
        if expr == "!opts.fork":  # true only with -n
            return "false"
        return re.sub(r"(ull|ul|u|l)$", "", expr, flags=re.I)

    found = {}
    for text in (main, office):
        for key, expr in re.findall(r'get(?:String|Bool|Int|UInt|Double)\(\s*"(\w+)"\s*,\s*([^()]*?)\)', text):
            if KEY_RE.match(key):
                found[key] = resolve(key, expr)
    return found


def conf_entries(path):
    """[(key, value, commented, comment block above)] of a configuration file."""
    entries, block = [], []
    for line in read(path).splitlines():
        m = re.match(r"^(#?)\s*([A-Za-z]\w*)=(.*)$", line)
        if m and KEY_RE.match(m.group(2)):
            entries.append((m.group(2), m.group(3), m.group(1) == "#", "\n".join(block)))
            block = []
        elif line.startswith("#"):
            block.append(line)
        else:
            block = []
    return entries


def man_defaults(scd_path):
    """{key: default} from the "*key* (default value...)" entries of a page source."""
    text = read(scd_path).replace("\\_", "_")
    found = {}
    for key, value in re.findall(r"^\*(\w+)\* \((?:built-in )?default ([^;,)]*)", text, re.M):
        found[key] = "" if value == "empty" else value.strip()
    return found


class ConfigurationFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.code = code_defaults()
        cls.entries = conf_entries(source("packaging", "xad.conf"))

    def test_source_scan_finds_the_keys_of_both_programs(self):
        # A sanity check of the source scan itself: it must see the daemon's
        # and the supervisor's keys, or the comparisons below prove nothing.
        self.assertIn("xadrad_cache_baseDir", self.code)
        self.assertIn("xadrad_listen_address", self.code)
        self.assertIn("OOO_XARG", self.code)
        self.assertGreaterEqual(len(self.code), 25)

    def test_every_key_read_is_documented_once_and_no_other(self):
        keys = [e[0] for e in self.entries]
        self.assertEqual(len(keys), len(set(keys)), "keys listed twice: %s"
                         % sorted(k for k in keys if keys.count(k) > 1))
        self.assertEqual(set(self.code) - set(keys), set(), "keys the programs read but xad.conf omits")
        self.assertEqual(set(keys) - set(self.code), set(), "keys in xad.conf that no program reads")

    def test_commented_values_are_the_built_in_defaults(self):
        for key, value, commented, block in self.entries:
            with self.subTest(key=key):
                if commented:
                    self.assertTrue(same_value(value, self.code[key]),
                                    "xad.conf shows %s=%s, the program's default is %r" % (key, value, self.code[key]))
                else:
                    # A setting of the package: its comment names the built-in default.
                    self.assertIn("Built-in default: %s." % self.code[key], block,
                                  "%s is set by the package; its comment must name the built-in default" % key)

    def test_every_comment_explains_its_key(self):
        for key, _, _, block in self.entries:
            with self.subTest(key=key):
                self.assertGreater(len(block.strip("# \n")), 10, "%s has no comment of its own" % key)

    def test_manual_pages_give_every_key_with_its_default(self):
        documented = {}
        for page in ("xadrad.8.scd", "xadooo.8.scd"):
            documented.update(man_defaults(source("docs", "man", page)))
        self.assertEqual(set(self.code) - set(documented), set(), "keys missing from xadrad(8) or xadooo(8)")
        for key, default in self.code.items():
            with self.subTest(key=key):
                self.assertTrue(same_value(documented[key], default),
                                "manual page gives %s a default of %r, the program %r"
                                % (key, documented[key], default))


# ---------------------------------------------------------------------------
# Manual pages


def render(page_path):
    """The page as man -l formats it, 80 columns; fails on any groff warning."""
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MAN_DISABLE_SECCOMP="1")
    r = run(["man", "--warnings", "-E", "UTF-8", "-P", "cat", "-l", page_path], env=env)
    if r.stderr.strip():
        raise AssertionError("man -l %s warned:\n%s" % (page_path, r.stderr))
    return r.stdout


class ManPages(unittest.TestCase):
    def page(self, name):
        path = build("man", name + ".gz")
        if not os.path.exists(path):
            self.fail("%s is missing: build the target man-pages (scdoc comes from scripts/install-deps)" % path)
        return path

    def test_each_page_renders_with_its_sections(self):
        for name in MAN_PAGES:
            with self.subTest(page=name):
                program, section = name.rsplit(".", 1)
                text = render(self.page(name))
                self.assertRegex(text, r"^%s\(%s\)" % (re.escape(program), section))
                for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "SEE ALSO"):
                    self.assertRegex(text, r"(?m)^%s$" % heading)
                self.assertRegex(text, r"(?m)^\s+%s\b.* - " % re.escape(program))
                self.assertIn("xadra " + project_version(), text)

    def test_see_also_names_only_pages_that_exist(self):
        ours = {n.rsplit(".", 1)[0]: n.rsplit(".", 1)[1] for n in MAN_PAGES}
        for name in MAN_PAGES:
            text = render(self.page(name))
            see_also = text.split("SEE ALSO", 1)[1]
            for program, section in re.findall(r"([\w-]+)\((\d)\)", see_also):
                if program in ours:
                    with self.subTest(page=name, ref=program):
                        self.assertEqual(section, ours[program])

    def test_hpgl_info_page_is_a_link_to_hpgl2png(self):
        link = build("man", "hpgl-info.1.gz")
        self.assertTrue(os.path.islink(link))
        self.assertEqual(os.readlink(link), "hpgl2png.1.gz")
        self.assertIn("hpgl-info", render(link))

    def test_hpgl2png_page_documents_every_option_the_program_accepts(self):
        usage = run([build("bin", "hpgl2png"), "--help"]).stdout
        text = render(self.page("hpgl2png.1"))
        options = set(re.findall(r"(--[a-z][a-z-]+)", usage))
        self.assertGreaterEqual(len(options), 6)
        for option in options:
            with self.subTest(option=option):
                self.assertIn(option, text)

    def test_pages_are_compressed_without_name_or_time(self):
        for name in MAN_PAGES:
            with self.subTest(page=name):
                with open(self.page(name), "rb") as f:
                    head = f.read(10)
                self.assertEqual(head[:2], b"\x1f\x8b")
                self.assertEqual(head[3] & 0x08, 0, "the gzip header holds a file name (gzip -n)")
                self.assertEqual(head[4:8], b"\0\0\0\0", "the gzip header holds a time stamp (gzip -n)")


# ---------------------------------------------------------------------------
# The package


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, log_path, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise AssertionError("xadrad ended with %d before serving:\n%s" % (process.returncode, read(log_path)))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise AssertionError("xadrad did not listen on port %d within %d s:\n%s" % (port, timeout, read(log_path)))


def depends_alternatives(field):
    """The Depends field as a list of sets of package names, one set per entry."""
    return [{re.sub(r"\s*\(.*\)", "", alt).strip() for alt in entry.split("|")} for entry in field.split(",")]


# Commands the maintainer scripts call to create users and talk to systemd,
# replaced while dpkg installs into the temporary root: each records its
# arguments; the user tools keep a private passwd and group file.
STUB_LOG = r'''#!/bin/sh
echo "$(basename "$0") $*" >> "$STUB_STATE/log"
'''
STUBS = {
    "getent": STUB_LOG + r'''grep -q "^$2:" "$STUB_STATE/$1" 2>/dev/null || exit 2
grep "^$2:" "$STUB_STATE/$1"
''',
    "adduser": STUB_LOG + r'''for name; do :; done
case " $* " in *" --group "*) echo "$name:x:900:" >> "$STUB_STATE/group";; esac
echo "$name:x:900:900::/nonexistent:/usr/sbin/nologin" >> "$STUB_STATE/passwd"
''',
    "useradd": STUB_LOG + r'''for name; do :; done
echo "$name:x:900:900::/nonexistent:/usr/sbin/nologin" >> "$STUB_STATE/passwd"
''',
    "chown": STUB_LOG,
    "deb-systemd-helper": STUB_LOG,
    "deb-systemd-invoke": STUB_LOG,
    "systemctl": STUB_LOG,
}


class DebPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [p for p in DAEMONS + TOOLS if not os.access(build("bin", p), os.X_OK)]
        missing += [p for p in MAN_PAGES if not os.path.exists(build("man", p + ".gz"))]
        if missing:
            raise AssertionError("not built: %s (cmake --build %s)" % (", ".join(missing), ARGS.build_dir))
        cls.tmp = tempfile.mkdtemp(prefix="xadra-package-")
        out = os.path.join(cls.tmp, "out")
        run([ARGS.cpack, "-G", "DEB", "--config", build("CPackConfig.cmake"), "-B", out], timeout=120)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        if len(debs) != 1:
            raise AssertionError("cpack made %s, not one .deb" % debs)
        cls.deb = os.path.join(out, debs[0])
        cls.info = run(["dpkg-deb", "-I", cls.deb]).stdout
        cls.contents = run(["dpkg-deb", "-c", cls.deb]).stdout
        cls.control = os.path.join(cls.tmp, "control")
        run(["dpkg-deb", "-e", cls.deb, cls.control])
        cls.root = os.path.join(cls.tmp, "root")
        run(["dpkg-deb", "-x", cls.deb, cls.root])

    @classmethod
    def tearDownClass(cls):
        if os.environ.get("XADRA_KEEP_TEST_DIR"):
            print("kept", cls.tmp, file=sys.stderr)
        else:
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def paths(self):
        """{path: (mode text, owner, link target or None)} of the data archive."""
        out = {}
        for line in self.contents.splitlines():
            parts = line.split(None, 5)
            name, _, target = parts[5].partition(" -> ")
            out[name.lstrip(".").rstrip("/") or "/"] = (parts[0], parts[1], target or None)
        return out

    def test_control_fields(self):
        version = project_version()
        self.assertEqual(self.field("Package"), "xadra")
        self.assertEqual(self.field("Version"), version + "-1")
        self.assertEqual(os.path.basename(self.deb), "xadra_%s-1_%s.deb" % (version, self.field("Architecture")))
        self.assertEqual(self.field("Architecture"), run(["dpkg", "--print-architecture"]).stdout.strip())
        self.assertRegex(self.field("Maintainer"), r".+ <.+@.+>")
        description = self.field("Description").splitlines()
        self.assertGreater(len(description), 2)
        self.assertTrue(all(len(line) < 80 for line in description), "description lines of 80 characters or more")

    def test_depends_on_what_the_programs_start_and_link(self):
        depends = depends_alternatives(self.field("Depends"))
        for needed in ({"ghostscript"}, {"hershey-fonts-data"}, {"adduser"},
                       {"fonts-liberation", "fonts-dejavu-core"}):
            self.assertIn(needed, depends)
        # From dpkg-shlibdeps: the C library and qpdf, with versions.
        self.assertIn({"libc6"}, depends)
        self.assertIn({"libqpdf29"}, depends)
        self.assertRegex(self.field("Depends"), r"libc6 \(>= [0-9.]+\)")
        self.assertIn("libreoffice-nogui", self.field("Suggests"))

    def test_conffiles_lists_the_configuration_file(self):
        self.assertEqual(read(os.path.join(self.control, "conffiles")).split(), [CONFFILE])
        self.assertEqual(read(self.root + CONFFILE), read(source("packaging", "xad.conf")))

    def test_maintainer_scripts_are_executable_posix_shell(self):
        for script in ("postinst", "prerm", "postrm"):
            with self.subTest(script=script):
                path = os.path.join(self.control, script)
                self.assertTrue(os.path.exists(path), "%s missing from the control archive" % script)
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o755)
                self.assertTrue(read(path).startswith("#!/bin/sh\n"))
                run(["sh", "-n", path])
                if shutil.which("dash"):
                    run(["dash", "-n", path])
                # Unknown actions fail, as dpkg expects of a maintainer script.
                if script != "prerm":
                    r = subprocess.run(["sh", path, "no-such-action"], capture_output=True, text=True,
                                       env=dict(os.environ, DPKG_ROOT=os.path.join(self.tmp, "nowhere")))
                    self.assertNotEqual(r.returncode, 0)
        self.assertIn("#!/bin/sh", self.info)

    def test_files_and_their_places(self):
        paths = self.paths()
        expected = {"/usr/sbin/" + p for p in DAEMONS} | {"/usr/bin/" + p for p in TOOLS}
        for program in sorted(expected):
            with self.subTest(path=program):
                self.assertIn(program, paths)
                self.assertEqual(paths[program][0], "-rwxr-xr-x")
        for other in ("/lib/systemd/system/xadrad.service", "/lib/systemd/system/xadooo.service", CONFFILE,
                      "/usr/share/man/man8/xadrad.8.gz", "/usr/share/man/man8/xadooo.8.gz",
                      "/usr/share/man/man1/xadrac.1.gz", "/usr/share/man/man1/hpgl2png.1.gz"):
            with self.subTest(path=other):
                self.assertIn(other, paths)
                self.assertEqual(paths[other][0], "-rw-r--r--")
        self.assertEqual(paths["/usr/share/man/man1/hpgl-info.1.gz"][2], "hpgl2png.1.gz")
        for path, (_, owner, _) in paths.items():
            with self.subTest(path=path):
                self.assertEqual(owner, "root/root")
                self.assertRegex(path, r"^/($|etc|lib|usr)", "a file outside /etc, /lib and /usr")
                self.assertNotIn(ARGS.build_dir, path)

    def test_programs_are_stripped(self):
        for program in ["usr/sbin/xadrad", "usr/bin/xadrac"]:
            with self.subTest(program=program):
                r = run(["readelf", "-S", os.path.join(self.root, program)])
                self.assertNotIn(".debug_info", r.stdout)

    def test_units_start_packaged_programs_as_users_the_package_creates(self):
        postinst = read(os.path.join(self.control, "postinst"))
        created = set(re.findall(r"^\s*add_system_user (\w+)", postinst, re.M))
        self.assertEqual(created, {"xadrun", "ooorun"})
        for unit in ("xadrad.service", "xadooo.service"):
            with self.subTest(unit=unit):
                text = read(os.path.join(self.root, "lib/systemd/system", unit))
                program = re.search(r"^ExecStart=(\S+)", text, re.M).group(1)
                self.assertTrue(os.access(self.root + program, os.X_OK),
                                "%s starts %s, not in the package" % (unit, program))
                self.assertIn(re.search(r"^User=(\S+)", text, re.M).group(1), created)
                page = re.search(r"^Documentation=man:([\w-]+)\((\d)\)", text, re.M)
                self.assertTrue(os.path.exists(os.path.join(self.root, "usr/share/man/man%s/%s.%s.gz"
                                                            % (page.group(2), page.group(1), page.group(2)))))
                self.assertNotRegex(text, r"(?m)^ExecReload=.*-HUP", "SIGHUP ends the daemon: no reload by HUP")

    def test_units_pass_systemd_analyze(self):
        analyze = shutil.which("systemd-analyze")
        if not analyze:
            self.skipTest("systemd-analyze is not installed")
        units = tempfile.mkdtemp(prefix="units-", dir=self.tmp)
        for unit in ("xadrad.service", "xadooo.service"):
            text = read(os.path.join(self.root, "lib/systemd/system", unit))
            # The programs as extracted, since they are not installed here.
            text = re.sub(r"(?m)^ExecStart=/", "ExecStart=" + self.root + "/", text)
            with open(os.path.join(units, unit), "w") as f:
                f.write(text)
        r = subprocess.run([analyze, "verify", "--man=no", "xadrad.service", "xadooo.service"], cwd=units,
                           capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, SYSTEMD_LOG_LEVEL="warning"))
        # Users unknown on this machine are no fault of the units.
        complaints = [line for line in r.stderr.splitlines() if line.strip() and "user" not in line.lower()]
        self.assertEqual((r.returncode, complaints), (0, []), r.stderr)

    def test_packaged_daemon_serves_with_the_packaged_configuration(self):
        """The daemon as its unit starts it: the unit's command line, user and
        readiness notification, the packaged configuration with a private
        base directory and port; xadrac sends it requests."""
        work = tempfile.mkdtemp(prefix="serve-", dir=self.tmp)
        conf, run_dir, base, files = (os.path.join(work, d) for d in ("conf", "run", "base", "files"))
        for d in (conf, run_dir, base, files):
            os.makedirs(d)
        unit = read(os.path.join(self.root, "lib/systemd/system/xadrad.service"))
        exec_start = re.search(r"^ExecStart=(.+)$", unit, re.M).group(1).split()
        self.assertEqual(exec_start[0], "/usr/sbin/xadrad")
        user = re.search(r"^User=(\S+)$", unit, re.M).group(1)
        # Run as the unit's user where this machine has it (as root, with
        # setpriv); the base and runtime directories then belong to it, as
        # CacheDirectory and RuntimeDirectory make them. Elsewhere as the
        # current user, told not to switch.
        as_user = os.geteuid() == 0 and shutil.which("setpriv") and \
            subprocess.run(["getent", "passwd", user], capture_output=True).returncode == 0
        prefix = []
        port = free_port()
        packaged = read(self.root + CONFFILE)
        self.assertRegex(packaged, r"(?m)^xadrad_cache_baseDir=")
        adjusted = re.sub(r"(?m)^xadrad_cache_baseDir=.*$", "xadrad_cache_baseDir=" + base, packaged)
        adjusted += "xadrad_job_nWorkers=2\nxadrad_listen_address=127.0.0.1:%d\n" % port
        if as_user:
            prefix = ["setpriv", "--reuid=" + user, "--regid=" + user, "--init-groups", "--"]
            for d in (base, run_dir):
                shutil.chown(d, user, user)
            os.chmod(base, 0o750)
            for d in (self.tmp, work):
                os.chmod(d, 0o755)
        else:
            adjusted += "xadrad_suUser=root\n"
        with open(os.path.join(conf, "xad.conf"), "w") as f:
            f.write(adjusted)
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "HPGS_FONT_PATH")}
        env.update(XAD_CONF_DIR=conf, XAD_RUNTIME_DIR=run_dir)
        # The unit is of Type=notify: systemd's notification socket, played here.
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(notify.close)
        notify_path = os.path.join(work, "notify")
        notify.bind(notify_path)
        os.chmod(notify_path, 0o777)
        notify.settimeout(30)
        daemon_env = dict(env, NOTIFY_SOCKET=notify_path)
        daemon_bin = os.path.join(self.root, "usr/sbin/xadrad")
        log_path = os.path.join(work, "daemon.log")
        with open(log_path, "w") as log:
            daemon = subprocess.Popen(prefix + [daemon_bin] + exec_start[1:], env=daemon_env, stdout=log,
                                      stderr=log, stdin=subprocess.DEVNULL)
        try:
            try:
                message = notify.recv(4096)
            except socket.timeout:
                self.fail("no readiness notification within 30 s:\n" + read(log_path))
            self.assertIn(b"READY=1", message)
            # Ready means serving: the port answers at once.
            wait_for_port(port, daemon, log_path, timeout=1)
            shutil.copy(source("tests", "data", "hpgl", "syn_iso_ro90.hpgl"), os.path.join(files, "drawing.plt"))
            client = run([os.path.join(self.root, "usr/bin/xadrac"), "-h", "127.0.0.1:%d" % port, "-c", files],
                         input="drawing.plt 0 png\ndrawing.plt 90 pdf\ndrawing.plt 0 bbox\n", env=env)
            with open(os.path.join(files, "drawing.png"), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n", client.stderr)
            with open(os.path.join(files, "drawing.pdf"), "rb") as f:
                self.assertEqual(f.read(5), b"%PDF-", client.stderr)
            self.assertRegex(client.stdout, r"urx = [0-9.]+\.")
            self.assertTrue(os.path.isdir(os.path.join(base, "cache")))
            if as_user:
                self.assertEqual(os.stat(os.path.join(base, "cache")).st_uid, pwd.getpwnam(user).pw_uid)

            status = run([daemon_bin, "-s"], env=env)
            self.assertIn("xadrad %s-1" % project_version(), status.stdout)
            run([daemon_bin, "-k"], env=env)
            self.assertEqual(daemon.wait(timeout=30), 0, read(log_path))
            self.assertIn("finished with status [0].", read(log_path))
        finally:
            if daemon.poll() is None:
                daemon.kill()
                daemon.wait()

    def test_packaged_supervisor_runs_its_office_with_the_packaged_configuration(self):
        work = tempfile.mkdtemp(prefix="office-", dir=self.tmp)
        conf = os.path.join(work, "conf")
        os.makedirs(conf)
        shutil.copy(self.root + CONFFILE, os.path.join(conf, "xad.conf"))
        office = os.path.join(work, "office")
        with open(office, "w") as f:
            f.write('#!/bin/sh\necho "office $1 $2"\nexec sleep 60\n')
        os.chmod(office, 0o755)
        log_path = os.path.join(work, "xadooo.log")
        env = dict(os.environ, XAD_CONF_DIR=conf)
        with open(log_path, "w") as log:
            supervisor = subprocess.Popen([os.path.join(self.root, "usr/sbin/xadooo"), "-n", "--OOO_BIN=" + office],
                                          env=env, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while "stdout: office" not in read(log_path) and time.monotonic() < deadline:
                self.assertIsNone(supervisor.poll(), read(log_path))
                time.sleep(0.05)
            # The packaged defaults: --headless and the acceptor on 127.0.0.1:8100.
            self.assertIn("stdout: office --headless --accept=socket,host=127.0.0.1,port=8100;", read(log_path))
            supervisor.send_signal(signal.SIGTERM)
            self.assertEqual(supervisor.wait(timeout=30), 0, read(log_path))
        finally:
            if supervisor.poll() is None:
                supervisor.kill()
                supervisor.wait()

    def test_packaged_tools_run(self):
        work = tempfile.mkdtemp(prefix="tools-", dir=self.tmp)
        drawing = source("tests", "data", "hpgl", "syn_iso_ro90.hpgl")
        png = os.path.join(work, "out.png")
        run([os.path.join(self.root, "usr/bin/hpgl2png"), drawing, png, "--size", "200"])
        with open(png, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        info = run([os.path.join(self.root, "usr/bin/hpgl-info"), drawing]).stdout
        self.assertRegex(info, r"(?m)^pages: 1$")

    # -- dpkg into a temporary root ----------------------------------------

    def dpkg_root(self):
        """A fresh root with an empty dpkg database, the stubs and their state."""
        top = tempfile.mkdtemp(prefix="dpkg-", dir=self.tmp)
        root = os.path.join(top, "root")
        admin = os.path.join(root, "var/lib/dpkg")
        for d in ("info", "updates", "triggers"):
            os.makedirs(os.path.join(admin, d))
        for f in ("status", "available"):
            open(os.path.join(admin, f), "w").close()
        state, stubs = os.path.join(top, "stub-state"), os.path.join(top, "stubs")
        os.makedirs(state)
        os.makedirs(stubs)
        for name, text in STUBS.items():
            path = os.path.join(stubs, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        env = dict(os.environ, PATH=stubs + ":" + os.environ["PATH"], STUB_STATE=state)
        return root, state, env

    def dpkg(self, root, env, *args):
        return run(["dpkg", "--root=" + root, "--force-script-chrootless", "--force-depends", "--force-confold",
                    "--log=" + os.path.join(root, "..", "dpkg.log")] + list(args), env=env, timeout=120)

    def test_dpkg_installs_upgrades_removes_and_purges_in_a_temporary_root(self):
        if os.geteuid() != 0:
            self.skipTest("dpkg --root unpacks files owned by root: needs root")
        root, state, env = self.dpkg_root()

        def log():
            path = os.path.join(state, "log")
            return read(path).splitlines() if os.path.exists(path) else []

        def calls(tool, *words):
            return [line for line in log() if line.split()[0] == tool and all(w in line.split() for w in words)]

        self.dpkg(root, env, "-i", self.deb)
        for program in ["/usr/sbin/xadrad", "/usr/bin/xadrac", CONFFILE, "/lib/systemd/system/xadrad.service"]:
            self.assertTrue(os.path.exists(root + program), program)
        self.assertEqual(len(calls("adduser", "xadrun")), 1, log())
        self.assertEqual(len(calls("adduser", "ooorun")), 1, log())
        self.assertEqual(calls("adduser", "--shell"), calls("adduser"), "a login shell for a system user")
        cache = root + "/var/cache/xadrad"
        self.assertEqual(stat.S_IMODE(os.stat(cache).st_mode), 0o750)
        self.assertTrue(calls("chown", "xadrun:xadrun", cache), log())
        self.assertTrue(os.path.isdir(root + "/var/lib/ooorun"))
        self.assertTrue(calls("deb-systemd-helper", "enable", "xadrad.service"), log())
        self.assertFalse(calls("deb-systemd-helper", "enable", "xadooo.service"), "xadooo needs an office suite")
        self.assertTrue(calls("deb-systemd-helper", "update-state", "xadooo.service"), log())
        self.assertFalse(calls("systemctl") + calls("deb-systemd-invoke"), "the running system's services were touched")

        # An administrator's changes survive an upgrade (here: the same
        # version again): the configuration, the cache directory's mode; the
        # users are not created twice.
        with open(root + CONFFILE, "a") as f:
            f.write("xadrad_cache_mbytes=200\n")
        os.chmod(cache, 0o700)
        os.remove(os.path.join(state, "log"))
        self.dpkg(root, env, "-i", self.deb)
        self.assertTrue(read(root + CONFFILE).endswith("xadrad_cache_mbytes=200\n"))
        self.assertEqual(stat.S_IMODE(os.stat(cache).st_mode), 0o700)
        self.assertFalse(calls("adduser"), log())
        self.assertFalse(calls("useradd"), log())

        os.remove(os.path.join(state, "log"))
        self.dpkg(root, env, "-r", "xadra")
        self.assertFalse(os.path.exists(root + "/usr/sbin/xadrad"))
        self.assertTrue(os.path.exists(root + CONFFILE), "remove keeps the conffile")
        self.assertTrue(os.path.isdir(cache), "remove keeps the cache")
        self.assertTrue(calls("deb-systemd-helper", "mask", "xadrad.service"), log())

        with open(os.path.join(cache, "kept"), "w") as f:
            f.write("result")
        self.dpkg(root, env, "-P", "xadra")
        self.assertFalse(os.path.exists(root + CONFFILE))
        self.assertFalse(os.path.exists(cache))
        self.assertFalse(os.path.exists(root + "/var/lib/ooorun"))
        self.assertTrue(calls("deb-systemd-helper", "purge", "xadrad.service"), log())
        self.assertTrue(calls("deb-systemd-helper", "purge", "xadooo.service"), log())
        status = subprocess.run(["dpkg-query", "--root=" + root, "-W", "-f=${Status}", "xadra"],
                                capture_output=True, text=True)
        self.assertNotIn("installed", status.stdout.replace("not-installed", ""))
        self.assertFalse(calls("systemctl"), "the running system's services were touched")

        # A second purge, and a postinst run on a system whose users exist,
        # find nothing left to do and still succeed.
        script_env = dict(env, DPKG_ROOT=root)
        run(["sh", os.path.join(self.control, "postrm"), "purge"], env=script_env)
        os.remove(os.path.join(state, "log"))
        run(["sh", os.path.join(self.control, "postinst"), "configure", ""], env=script_env)
        run(["sh", os.path.join(self.control, "postinst"), "configure", project_version() + "-1"], env=script_env)
        self.assertFalse(calls("adduser"), log())
        self.assertEqual(len(calls("chown", cache)), 1, "the cache directory is handed to xadrun once")

    def test_postinst_falls_back_to_useradd_and_keeps_an_existing_group(self):
        root, state, env = self.dpkg_root()
        stubs = os.path.join(state, "..", "stubs")
        os.remove(os.path.join(stubs, "adduser"))
        # Only the stubs and a few basic tools on the PATH: the system's
        # adduser must not be found either.
        tools = os.path.join(state, "..", "tools")
        os.makedirs(tools)
        for tool in ("sh", "mkdir", "chmod", "grep", "basename", "cat", "rm"):
            os.symlink(shutil.which(tool), os.path.join(tools, tool))
        with open(os.path.join(state, "group"), "w") as f:
            f.write("ooorun:x:901:\n")
        env = dict(env, PATH=stubs + ":" + tools, DPKG_ROOT=root)
        run([shutil.which("sh"), os.path.join(self.control, "postinst"), "configure", ""], env=env)
        lines = read(os.path.join(state, "log")).splitlines()
        useradd = [line for line in lines if line.startswith("useradd ")]
        self.assertEqual(len(useradd), 2, lines)
        self.assertIn("--user-group", next(line for line in useradd if line.endswith(" xadrun")))
        self.assertIn("--gid ooorun", next(line for line in useradd if line.endswith(" ooorun")))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cpack", default=shutil.which("cpack") or "cpack")
    ARGS, rest = parser.parse_known_args()
    ARGS.source_dir = os.path.abspath(ARGS.source_dir)
    ARGS.build_dir = os.path.abspath(ARGS.build_dir)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
