// Test-only plug-in for dll_file_test that exports nothing a plain-C name finds: its one function
// has C++ linkage, so the export (if the platform exports it at all) carries a mangled name.
int bare_value() { return 7; }
