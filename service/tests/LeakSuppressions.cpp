// LeakSanitizer reads its options here, so libpqxx's known leak on a broken connection is
// suppressed however the test is started.
extern "C" const char* __lsan_default_options() {
  return "suppressions=" TETHER_PQXX_LEAK_SUPPRESSIONS;
}
