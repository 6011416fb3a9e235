// Text, address and number conversions of the appliance's utility library: number bases,
// bounded copies, dotted quads and IPv4 address classes, hexadecimal and Ethernet texts,
// on/off words, argument splitting, rounding, a precise sleep and an 8-bit checksum. The
// service uses the numbers, the bounded copy and the dotted quads; tools of the appliance
// use the rest. Results are 1 on success and 0 on failure unless said otherwise; outputs go
// through out-parameters. No allocation, no socket.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- numbers ------------------------------------------------------------------------

// strtoll in the given base, low 32 bits stored; 1 when at least one character was
// converted (trailing text allowed), else 0 and nothing stored.
int strToU32(const char* text, std::uint32_t* out, int base);

// strToU32's reading (the same texts and bases are refused), the low 8 bits stored.
int strToU8(const char* text, std::uint8_t* out, int base);

// strtod; 1 and the value when at least one character converts.
int strToDouble(const char* text, double* out);

// Half away from zero (add 0.5 at or above 0.0, else subtract 0.5, then truncate).
// Values beyond the 32-bit range saturate to INT32_MAX / INT32_MIN; NaN gives INT32_MIN.
std::int32_t roundToInt(double value);

// n < 0: the value unchanged; n = 0: roundToInt as a double; otherwise
// roundToInt(value * 10^n) / 10^n. The scale is an unsigned 32-bit number, so n above 9
// is taken as 9, the most decimals it can hold (10^10 would wrap).
double roundToDecimals(double value, int n);
inline constexpr int kMaxRoundDecimals = 9;

// Copies at most size - 1 bytes and always terminates dst (size 0: nothing written).
void strCopyN(char* dst, const char* src, std::size_t size);

// ---- hexadecimal and Ethernet texts ---------------------------------------------------

// Two upper-case digits per byte before the terminating zero of `bytes`; `out` needs
// 2 * length + 1 bytes. Always 1.
int bytesToHexStr(const std::uint8_t* bytes, char* out);

// Each pair of characters (base 16, through strToU32) becomes one byte; a zero byte ends
// the output. Odd length: 0. A pair that does not convert: 0, the bytes before it kept.
int hexStrToBytes(const char* hex, std::uint8_t* out);

// "xx:xx:xx:xx:xx:xx" (either case) into 6 bytes; only the first 17 characters are
// examined, so a longer text is accepted on its first 17.
int StrMac2Octets(const char* text, std::uint8_t mac[6]);

// RFC 1112 group address of an IPv4 multicast address: 01:00:5E, then the second byte
// with its top bit cleared, the third and fourth bytes. Always 1.
int McastAddr2Mac(const std::uint8_t addr[4], std::uint8_t mac[6]);

// ---- IPv4 addresses and their classes ---------------------------------------------------

// 1 when text is a dotted quad "a.b.c.d" (optionally ended by a newline) with every octet
// at most 255 and a first octet other than 0; the octets go to octets[0..3] as they are
// read. An empty field ("1..2.3") is not refused: its octet is simply not written.
int StrAddr2Octets(const char* text, std::uint8_t* octets);

// 1 when text is exactly a dotted quad as it would be printed: four decimal octets of one
// to three digits, at most 255, without a leading zero (which inet_addr reads as octal),
// nothing before or after (no blank, no newline). Any first octet. The octets go to
// octets[0..3] only when the text is accepted. Each address thus has one spelling.
int StrAddr2OctetsExact(const char* text, std::uint8_t octets[4]);

// 1 for 224.0.1.0 .. 239.255.255.255 (network byte order argument). The local control
// block 224.0.0.x does not count.
int isMulticastAddr(std::uint32_t addr_net);

// The three classes below each first need a non-empty dotted quad that StrAddr2Octets
// accepts (which fills `octets`, also when the class test then fails).

int isUnicastAddrStr(const char* text, std::uint8_t octets[4]);
int isFirstOctet255(const char* text, std::uint8_t octets[4]);
int isMulticastAddrStr(const char* text, std::uint8_t octets[4]);

// 1 when (b AND mask) equals (a AND mask). The mask need not be a unicast address
// (255.255.255.0 serves). When any of the three texts is null, empty or no valid dotted
// quad the answer is 0: an address that cannot be read is in no one's subnet.
int isSameSubnet(const char* a, const char* mask, const char* b);

// ---- words ----------------------------------------------------------------------------

const char* onOffStr(int v);                  // 1 "On", 0 "Off", else "Unknown"
int parseOnOff(const char* text, int* out);   // "On"/"Off", any case
const char* enableStr(int v);                 // 1 "ENABLE", 0 "DISABLE", else "Unknown"
int parseEnable(const char* text, int* out);  // "ENABLE"/"DISABLE", any case
const char* bitStr(int v);                    // 1 "1", 0 "0", else "Unknown"
int parseBit(const char* text, int* out);     // "1"/"0" exactly

// Slots of the word table of splitArgs; at most kMaxArgs - 1 words are accepted.
inline constexpr int kMaxArgs = 10;

// Cuts `text` in place at spaces (strtok_r) into `words` (kMaxArgs slots) and sets
// `count`. No word: 0. A tenth word is stored, then "Too many argument\n" is logged and
// the result is 0.
int splitArgs(char* text, int* count, char* words[kMaxArgs]);

void strToUpper(char* text);
void strToLower(char* text);
void charToUpper(char* c);

// ---- other ------------------------------------------------------------------------------

// Sleeps at least `usec` microseconds of the wall clock (get_time_usec), sleeping again
// for the rest after an early wake-up such as a signal. Bounded to kSleepPasses passes.
void sleepUsec(std::uint64_t usec);
inline constexpr int kSleepPasses = 100000;

// The byte which, stored as the last of `length` bytes, makes their sum 0 modulo 256:
// minus the sum of the first length - 1 bytes. Length 0 has no last byte: 0.
std::uint8_t checksum8(const std::uint8_t* bytes, std::size_t length);
