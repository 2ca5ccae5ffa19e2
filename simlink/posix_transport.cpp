// Names of the stand-in transport: the namespace word and the socket name of a window class.
// Pure string work, so it builds on every platform.
#include "simlink/posix_transport.h"

#include <cstring>

#include "simlink/ipc_services.h"

namespace korvalis {

namespace {

constexpr size_t max_namespace_length = 32;
// Set before any link or module exists (see set_ipc_namespace), read afterwards.
char ipc_namespace[max_namespace_length + 1] = "";

bool namespace_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

}  // namespace

void set_ipc_namespace(const char* word) {
    if (word == nullptr) word = "";
    const size_t length = std::strlen(word);
    if (length > max_namespace_length) return;
    for (size_t i = 0; i < length; ++i) {
        if (!namespace_char(word[i])) return;  // an unusable word leaves the namespace as it was
    }
    std::memcpy(ipc_namespace, word, length + 1);
}

namespace transport {

size_t window_socket_name(const char* window_class, char* out, size_t capacity) {
    if (window_class == nullptr || out == nullptr) return 0;
    const size_t class_length = std::strlen(window_class);
    if (class_length == 0 || class_length > max_class_length) return 0;
    constexpr char prefix[] = "korvalis-ipc/";
    const size_t prefix_length = sizeof(prefix) - 1;
    const size_t namespace_length = std::strlen(ipc_namespace);
    const size_t total =
        prefix_length + (namespace_length ? namespace_length + 1 : 0) + class_length;
    if (total > capacity) return 0;

    size_t at = 0;
    std::memcpy(out, prefix, prefix_length);
    at += prefix_length;
    if (namespace_length != 0) {
        std::memcpy(out + at, ipc_namespace, namespace_length);
        at += namespace_length;
        out[at++] = '/';
    }
    for (size_t i = 0; i < class_length; ++i) {
        char c = window_class[i];
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return 0;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        out[at++] = c;
    }
    return at;
}

}  // namespace transport

}  // namespace korvalis
