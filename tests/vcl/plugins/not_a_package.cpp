// A shared library with no package entry points.
extern "C" __attribute__((visibility("default"))) int NotAPackage() { return 1; }
