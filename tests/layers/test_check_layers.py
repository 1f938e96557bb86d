"""The layer check names each kind of breach and passes clean code."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "check_layers.py")
sys.path.insert(0, os.path.dirname(SCRIPT))
import check_layers  # noqa: E402

BREACHES = [
    ("sessions/X.cpp", '#include "service/MainService.h"\n', "only service/ may"),
    ("tests/common/XTest.cpp", '#include "service/ServiceBootstrapProxy.h"\n', "only service/ may"),
    ("common/X.cpp", '#include "protocol/AppState.h"\n', "higher layer"),
    ("platform/Clock.h", '#include "common/Logger.h"\n', "higher layer"),
    ("platform/fake/FakeX.cpp", '#include "common/Text.h"\n', "sees only the platform API"),
    ("companions/x.cpp", '#include "protocol/AppState.h"\n', "takes only platform/ and common/"),
    ("manager/X.cpp", '#include "sessions/Locker.h"\n', "takes only platform/ and common/"),
    ("monitor/X.cpp", "#include <windows.h>\n", "outside a win32 folder"),
    ("platform/X.h", "#include <WinSock2.h>\n", "outside a win32 folder"),
    ("common/X.cpp", "#ifdef _WIN32\n#endif\n", "_WIN32"),
    ("tests/service/XTest.cpp", "#if defined(_WIN64)\n#endif\n", "_WIN32"),
    ("protocol/X.cpp", "void f() { ::CreateFileW(0); }\n", "calls CreateFileW"),
    ("sessions/X.cpp", "void f() { MessageBoxW(0, 0, 0, 0); }\n", "calls MessageBoxW"),
]

CLEAN = [
    ("platform/win32/Clock.cpp", "#include <windows.h>\n#ifdef _WIN32\n#endif\nvoid f() { GetTickCount64(); CreateEventW(0,0,0,0); }\n"),
    ("companions/restart.cpp", "#include <windows.h>\nvoid f() { OpenServiceW(0, 0, 0); }\n"),
    ("tests/platform/win32/SystemTest.cpp", "#include <windows.h>\n"),
    ("tests/service/MainServiceTest.cpp", '#include "service/MainService.h"\n'),
    ("protocol/X.cpp", '#include "sessions/Locker.h"\n#include "monitor/ProcessTemplate.h"\n'),
    ("manager/X.cpp", '#include "sessions/TSUtils.h"\n#include "common/Settings.h"\n'),
    ("common/X.cpp", '// CreateFileW( in a comment\nconst char* s = "_WIN32 MessageBoxW(";\nvoid g() { obj.LoadW(1); }\n'),
]


class CheckLayersTest(unittest.TestCase):
    def test_each_breach_is_named(self):
        for rel, text, words in BREACHES:
            with self.subTest(rel=rel, text=text):
                problems = check_layers.check_file(rel, text)
                self.assertEqual(len(problems), 1, problems)
                self.assertIn(words, problems[0])
                self.assertTrue(problems[0].startswith(rel + ":"))

    def test_allowed_code_passes(self):
        for rel, text in CLEAN:
            with self.subTest(rel=rel):
                self.assertEqual(check_layers.check_file(rel, text), [])

    def test_the_program_fails_on_a_planted_breach(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "common"))
            path = os.path.join(root, "common", "Ok.cpp")
            with open(path, "w") as f:
                f.write('#include "platform/Clock.h"\n')
            ok = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
            self.assertEqual(ok.returncode, 0, ok.stdout)
            with open(os.path.join(root, "common", "Bad.cpp"), "w") as f:
                f.write('#include "service/MainService.h"\n')
            bad = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
            self.assertEqual(bad.returncode, 1)
            self.assertIn("common/Bad.cpp:1", bad.stdout)

    def test_this_tree_holds(self):
        self.assertEqual(check_layers.check_tree(os.path.join(HERE, "..", "..")), [])


if __name__ == "__main__":
    unittest.main()
