// id3lib 3.8.3 deletes its tag iterator through a base class without a
// virtual destructor (inside ID3TagIterator_Delete), which AddressSanitizer
// reports as a new/delete size mismatch on every tag walk. The memory is
// released in full; only that one check is turned off, for programs that
// link the ID3 test helper.
#if defined(__SANITIZE_ADDRESS__)
#define TRELLICAST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRELLICAST_ASAN 1
#endif
#endif

#ifdef TRELLICAST_ASAN
extern "C" const char* __asan_default_options() { return "new_delete_type_mismatch=0"; }
#endif
