// Runs the binding tests inside an embedded interpreter that sees the
// venv's packages (numpy, pyarrow).
#include <Python.h>
#include <gtest/gtest.h>

// Read by AddressSanitizer when the tests are built with it: the embedded
// interpreter, NumPy and pyarrow keep memory until exit by design.
extern "C" [[gnu::visibility("default"), gnu::used]] const char* __asan_default_options() { return "detect_leaks=0"; }

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  PyStatus status = PyConfig_SetBytesString(&config, &config.home, VORNIK_PYTHON_HOME);
  if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  if (PyRun_SimpleString("import sys; sys.path.insert(0, '" VORNIK_SITE_PACKAGES "')") != 0) return 1;
  const int rc = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) return 120;
  return rc;
}
