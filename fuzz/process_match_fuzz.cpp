// libFuzzer target for what process control reads from /proc: the input whole as an entry
// name, and, split after byte 0, a program name of byte 0's length and a command line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "input/process_control.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // An id comes only from a whole number, which it spells back.
    const std::int32_t pid = pid_from_text(text.c_str());
    if (pid < 0 || (pid > 0 && std::to_string(pid) != text.c_str())) __builtin_trap();
    if (size == 0) return 0;
    const std::size_t n = data[0] < size ? data[0] : size - 1;
    const std::string name(text, 1, n);
    const std::vector<char> cmdline(data + 1 + n, data + size);  // exactly its bytes
    if (cmdline_names_program(cmdline.data(), cmdline.size(), name.c_str()) != 1) return 0;
    // A match: the first word is ended within the bytes, and is the name or ends in "/name".
    const auto* end = static_cast<const char*>(std::memchr(cmdline.data(), 0, cmdline.size()));
    const std::size_t k = std::strlen(name.c_str());
    const std::size_t word = end ? static_cast<std::size_t>(end - cmdline.data()) : 0;
    if (!end || word < k || std::memcmp(end - k, name.c_str(), k) != 0 ||
        std::memchr(end - k, '/', k) || (word > k && *(end - k - 1) != '/'))
        __builtin_trap();
    return 0;
}
