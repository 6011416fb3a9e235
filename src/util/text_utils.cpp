#include "util/text_utils.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/debug_log.h"

namespace {

// 0..35 for 0-9, a-z, A-Z; 99 for anything else.
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A non-empty text that StrAddr2Octets accepts; fills `octets`.
bool read_quad(const char* text, std::uint8_t octets[4]) {
    return text != nullptr && text[0] != '\0' && StrAddr2Octets(text, octets) == 1;
}

std::uint32_t quad_value(const std::uint8_t o[4]) {
    return static_cast<std::uint32_t>(o[0]) << 24 | static_cast<std::uint32_t>(o[1]) << 16 |
           static_cast<std::uint32_t>(o[2]) << 8 | static_cast<std::uint32_t>(o[3]);
}

}  // namespace

int strToU8(const char* text, std::uint8_t* out, int base) {
    std::uint32_t v = 0;
    if (!strToU32(text, &v, base)) return 0;
    *out = static_cast<std::uint8_t>(v);
    return 1;
}

int strToDouble(const char* text, double* out) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text) return 0;
    *out = v;
    return 1;
}

std::int32_t roundToInt(double value) {
    if (std::isnan(value)) return INT32_MIN;
    const double r = value >= 0.0 ? value + 0.5 : value - 0.5;
    if (r >= 2147483647.0) return INT32_MAX;
    if (r <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(r);  // the conversion truncates toward zero
}

double roundToDecimals(double value, int n) {
    if (n < 0) return value;
    if (n == 0) return static_cast<double>(roundToInt(value));
    if (n > kMaxRoundDecimals) n = kMaxRoundDecimals;
    std::uint32_t scale = 1;
    for (int i = 0; i < n; ++i) scale *= 10u;
    return static_cast<double>(roundToInt(value * scale)) / scale;
}

int bytesToHexStr(const std::uint8_t* bytes, char* out) {
    std::size_t i = 0;
    for (; bytes[i] != 0; ++i) std::snprintf(out + 2 * i, 3, "%02X", bytes[i]);
    out[2 * i] = '\0';
    return 1;
}

int hexStrToBytes(const char* hex, std::uint8_t* out) {
    const std::size_t len = std::strlen(hex);
    if (len % 2 != 0) return 0;
    std::size_t k = 0;
    for (; k < len / 2; ++k) {
        const char pair[3] = {hex[2 * k], hex[2 * k + 1], '\0'};
        std::uint32_t v = 0;
        if (!strToU32(pair, &v, 16)) return 0;
        out[k] = static_cast<std::uint8_t>(v);
    }
    out[k] = 0;
    return 1;
}

int StrMac2Octets(const char* text, std::uint8_t mac[6]) {
    constexpr std::size_t kMacText = 17;
    if (std::strlen(text) < kMacText) return 0;
    for (std::size_t p = 0; p < kMacText; ++p) {
        if (p % 3 == 2 ? text[p] != ':' : !is_hex_digit(text[p])) return 0;
    }
    for (int k = 0; k < 6; ++k)
        mac[k] = static_cast<std::uint8_t>(std::strtol(text + 3 * k, nullptr, 16));
    return 1;
}

int McastAddr2Mac(const std::uint8_t addr[4], std::uint8_t mac[6]) {
    mac[0] = 0x01;
    mac[1] = 0x00;
    mac[2] = 0x5E;
    mac[3] = static_cast<std::uint8_t>(addr[1] & 0x7F);
    mac[4] = addr[2];
    mac[5] = addr[3];
    return 1;
}

int isUnicastAddrStr(const char* text, std::uint8_t octets[4]) {
    if (!read_quad(text, octets)) return 0;
    return octets[0] != 255 && isMulticastAddr(inet_addr(text)) == 0;
}

int isFirstOctet255(const char* text, std::uint8_t octets[4]) {
    if (!read_quad(text, octets)) return 0;
    return octets[0] == 255;
}

int isMulticastAddrStr(const char* text, std::uint8_t octets[4]) {
    if (!read_quad(text, octets)) return 0;
    return isMulticastAddr(inet_addr(text)) == 1;
}

int isSameSubnet(const char* a, const char* mask, const char* b) {
    std::uint8_t qa[4] = {}, qm[4] = {}, qb[4] = {};
    if (!read_quad(b, qb) || !read_quad(mask, qm) || !read_quad(a, qa)) return 0;
    const std::uint32_t m = quad_value(qm);
    return (quad_value(qb) & m) == (quad_value(qa) & m);
}

const char* onOffStr(int v) { return v == 1 ? "On" : v == 0 ? "Off" : "Unknown"; }

int parseOnOff(const char* text, int* out) {
    if (strcasecmp(text, "On") == 0) {
        *out = 1;
    } else if (strcasecmp(text, "Off") == 0) {
        *out = 0;
    } else {
        return 0;
    }
    return 1;
}

const char* enableStr(int v) { return v == 1 ? "ENABLE" : v == 0 ? "DISABLE" : "Unknown"; }

int parseEnable(const char* text, int* out) {
    if (strcasecmp(text, "ENABLE") == 0) {
        *out = 1;
    } else if (strcasecmp(text, "DISABLE") == 0) {
        *out = 0;
    } else {
        return 0;
    }
    return 1;
}

const char* bitStr(int v) { return v == 1 ? "1" : v == 0 ? "0" : "Unknown"; }

int parseBit(const char* text, int* out) {
    if (std::strcmp(text, "1") == 0) {
        *out = 1;
    } else if (std::strcmp(text, "0") == 0) {
        *out = 0;
    } else {
        return 0;
    }
    return 1;
}

int splitArgs(char* text, int* count, char* words[kMaxArgs]) {
    char* save = nullptr;
    char* word = strtok_r(text, " ", &save);
    if (word == nullptr) return 0;
    words[0] = word;
    *count = 1;
    while (*count < kMaxArgs) {
        word = strtok_r(nullptr, " ", &save);
        if (word == nullptr) return 1;
        words[(*count)++] = word;
    }
    // The table has kMaxArgs slots but callers keep the last for themselves: a full table
    // means one word too many.
    dbg_printf("Too many argument\n");
    return 0;
}

void strToUpper(char* text) {
    for (; *text != '\0'; ++text) charToUpper(text);
}

void strToLower(char* text) {
    for (; *text != '\0'; ++text)
        *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

void charToUpper(char* c) { *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c))); }

void sleepUsec(std::uint64_t usec) {
    const auto start = static_cast<std::uint64_t>(get_time_usec());
    const std::uint64_t end = start + usec;
    usleep(static_cast<std::uint32_t>(usec));
    for (int pass = 1; pass < kSleepPasses; ++pass) {
        const auto now = static_cast<std::uint64_t>(get_time_usec());
        if (now >= end) return;
        usleep(static_cast<std::uint32_t>(end - now));
    }
}

std::uint8_t checksum8(const std::uint8_t* bytes, std::size_t length) {
    if (length == 0) return 0;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return static_cast<std::uint8_t>(0x100 - sum);
}

int isMulticastAddr(std::uint32_t addr_net) {
    const std::uint32_t addr = ntohl(addr_net);
    return addr >= 0xE0000100u && addr <= 0xEFFFFFFFu ? 1 : 0;
}

int StrAddr2Octets(const char* text, std::uint8_t* octets) {
    if (!text || text[0] == '.' || text[0] == '\n') return 0;
    int dots = 0;
    std::size_t field = 0;  // index of the current octet's first character
    bool last_was_digit = false;
    for (std::size_t i = 0; text[i] != '\0' && text[i] != '\n'; ++i) {
        const char c = text[i];
        if (c == '.') {
            if (++dots > 3) return 0;
            field = i + 1;
            last_was_digit = false;
            continue;
        }
        if (c < '0' || c > '9') return 0;
        std::uint32_t value = 0;
        if (!strToU32(text + field, &value, 10) || value > 255) return 0;
        octets[dots] = static_cast<std::uint8_t>(value);
        last_was_digit = true;
    }
    return dots == 3 && last_was_digit && octets[0] != 0 ? 1 : 0;
}

int StrAddr2OctetsExact(const char* text, std::uint8_t octets[4]) {
    if (!text) return 0;
    std::uint8_t got[4];
    const char* p = text;
    for (int k = 0; k < 4; ++k) {
        if (k > 0 && *p++ != '.') return 0;
        const char* first = p;
        unsigned value = 0;
        for (; *p >= '0' && *p <= '9' && p - first < 4; ++p)
            value = value * 10 + static_cast<unsigned>(*p - '0');
        const auto digits = p - first;
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && *first == '0')) return 0;
        got[k] = static_cast<std::uint8_t>(value);
    }
    if (*p != '\0') return 0;
    std::memcpy(octets, got, sizeof got);
    return 1;
}

int strToU32(const char* text, std::uint32_t* out, int base) {
    if (!text || base < 0 || base == 1 || base > 36) return 0;
    // strtoll converts something exactly when a digit of the base follows the optional
    // blanks and sign (a "0x" prefix starts with the digit 0). Decided here rather than
    // from its end pointer, which glibc leaves unset for a refused base.
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (digit_value(*p) >= (base == 0 ? 10 : base)) return 0;
    const long long value = std::strtoll(text, nullptr, base);
    *out = static_cast<std::uint32_t>(static_cast<unsigned long long>(value));
    return 1;
}

void strCopyN(char* dst, const char* src, std::size_t size) {
    if (size == 0) return;
    std::size_t n = 0;
    if (src)
        while (n + 1 < size && src[n] != '\0') ++n;
    if (n > 0) std::memcpy(dst, src, n);
    dst[n] = '\0';
}
