"""Modules of the program's own, written at run time and imported: circular imports, a module
that fails halfway through, reloading, and import hooks of the program."""

import importlib
import os
import sys

folder = os.path.join(os.getcwd(), "generated_pkg_root")
os.makedirs(os.path.join(folder, "pkg"), exist_ok=True)
files = {
    "pkg/__init__.py": "from . import a\nVALUE = a.VALUE + 1\n",
    "pkg/a.py": "from . import b\nVALUE = 10\ndef use():\n    return b.helper()\n",
    "pkg/b.py": "from . import a\ndef helper():\n    return a.VALUE * 2\n",
    "broken.py": "def f():\n    return 1\nf()\nraise ImportError('halfway')\n",
}
for name, text in files.items():
    with open(os.path.join(folder, name), "w") as file:
        file.write(text)
sys.path.insert(0, folder)
sys.dont_write_bytecode = True
import pkg  # noqa: E402

print(pkg.VALUE, pkg.a.use())
try:
    import broken  # noqa: F401
except ImportError as error:
    print("import failed:", error)
importlib.reload(pkg.a)
print(pkg.a.use())


class Finder:
    def find_spec(self, name, path=None, target=None):
        if name == "virtual_module":
            return importlib.util.spec_from_loader(name, Loader())
        return None


class Loader:
    def create_module(self, spec):
        return None

    def exec_module(self, module):
        exec("def hello():\n    return 'hello from nowhere'\n", module.__dict__)


import importlib.util  # noqa: E402

sys.meta_path.insert(0, Finder())
import virtual_module  # noqa: E402

print(virtual_module.hello())
