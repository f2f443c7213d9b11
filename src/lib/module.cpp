// The extension module vexo._vexo.
#include "lib/module_functions.hpp"

PyMODINIT_FUNC PyInit__vexo() { return vexo::lib::create_module(); }
