// The backend's shared library is made of the static pieces linked whole;
// this file only gives the target a source of its own.
namespace platform {
extern const char kBackendName[] = "posix";
}
