// libFuzzer target for the text, number and address conversions of the utility library:
// input byte 0 picks a base (-2..37), a count of decimals and a copy size, the rest is the
// text, in a heap block of exactly its length and a NUL. Besides the sanitizers it checks
// what must agree: strToU8 with strToU32, and an exact dotted quad with inet_addr, with
// StrAddr2Octets (first octet not 0) and with its own printed form.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "util/text_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int base = data[0] % 40 - 2;
    std::vector<char> text(size);  // the text and its NUL
    std::memcpy(text.data(), data + 1, size - 1);
    const char* t = text.data();
    std::uint32_t v32 = 0;
    std::uint8_t v8 = 0, quad[4] = {}, exact[4] = {}, mac[6];
    const int r32 = strToU32(t, &v32, base);
    if (strToU8(t, &v8, base) != r32 || (r32 && v8 != (v32 & 0xFF))) __builtin_trap();
    if (StrAddr2OctetsExact(t, exact)) {
        char printed[16];
        std::snprintf(printed, sizeof printed, "%u.%u.%u.%u", exact[0], exact[1], exact[2],
                      exact[3]);
        const std::uint32_t net = inet_addr(t);
        if (std::strcmp(printed, t) != 0 || std::memcmp(&net, exact, 4) != 0 ||
            (exact[0] != 0 && (!StrAddr2Octets(t, quad) || std::memcmp(quad, exact, 4) != 0)))
            __builtin_trap();
    }
    double d = 0;
    if (strToDouble(t, &d)) roundToDecimals(d, data[0] % 12 - 1);
    isUnicastAddrStr(t, quad), isFirstOctet255(t, quad), isMulticastAddrStr(t, quad);
    isSameSubnet(t, "255.255.0.0", t), StrMac2Octets(t, mac);
    std::vector<std::uint8_t> bytes(size / 2 + 1);
    std::vector<char> hex(2 * std::strlen(t) + 1), head(data[0] % 17 + 1u), cut = text;
    hexStrToBytes(t, bytes.data());
    bytesToHexStr(reinterpret_cast<const std::uint8_t*>(t), hex.data());
    strCopyN(head.data(), t, head.size());
    int n = 0, on = 0;
    char* words[kMaxArgs];
    splitArgs(cut.data(), &n, words), strToUpper(cut.data());
    parseOnOff(t, &on), parseEnable(t, &on), parseBit(t, &on);
    checksum8(data, size);
    return 0;
}
