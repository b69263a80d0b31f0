// id3lib 3.8.3 deletes its tag iterator through a base class without a
// virtual destructor (inside ID3TagIterator_Delete), which AddressSanitizer
// reports as a new/delete size mismatch on every tag walk. The memory is
// released in full; only that one check is turned off. Linked into every
// program and library of a sanitized build (see CMakeLists.txt), including
// the stand-in player that loads the module.
extern "C" const char* __asan_default_options() {
  return "new_delete_type_mismatch=0:detect_leaks=1";
}
