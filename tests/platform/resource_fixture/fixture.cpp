// A library for the module and resource tests. Every fixture with a package build exports that
// build's name under the same symbol, so a lookup that strays into a dependency shows; each also
// exports a function of its own, which a fixture built with a dependency calls so that the
// dependency is really linked.
#define FIXTURE_EXPORT extern "C" __attribute__((visibility("default")))

#ifdef QUELLIN_FIXTURE_NEEDS
FIXTURE_EXPORT int QUELLIN_FIXTURE_NEEDS();
#endif

#ifdef QUELLIN_FIXTURE_BUILD
FIXTURE_EXPORT const char* quellin_fixture_build() {
  return QUELLIN_FIXTURE_BUILD;
}
#endif

FIXTURE_EXPORT int QUELLIN_FIXTURE_OWN() {
#ifdef QUELLIN_FIXTURE_NEEDS
  return QUELLIN_FIXTURE_NEEDS() + 1;
#else
  return 1;
#endif
}
