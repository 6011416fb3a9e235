// Receiving and taking apart the service's transport stream in end-to-end and
// interoperability tests: datagrams with their arrival times, packets by PID, PCR values,
// PES packets reassembled from the audio PID, continuity checks. Reads by the byte
// positions of ISO/IEC 13818-1, never through the service's own writers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/appliance.h"

inline constexpr unsigned kPidPat = 0x0000;
inline constexpr unsigned kPidPmt = 0x0042;
inline constexpr unsigned kPidPcr = 0x0022;
inline constexpr unsigned kPidAudio = 0x0164;

struct TsDatagram {
    std::vector<std::uint8_t> bytes;
    std::int64_t arrival_usec;  // the wall clock, as the service's get_time_usec reads it
};

// Every datagram that arrives within `window` (at most max_count).
std::vector<TsDatagram> capture_ts(UdpReceiver& rx, std::chrono::milliseconds window,
                                   std::size_t max_count = 100000);
// Keeps receiving until `enough` holds for what has arrived or `timeout` has passed.
std::vector<TsDatagram> capture_ts_until(
    UdpReceiver& rx, const std::function<bool(const std::vector<TsDatagram>&)>& enough,
    std::chrono::milliseconds timeout);
// What is queued now, without waiting for more.
std::vector<TsDatagram> take_queued(UdpReceiver& rx);

// What the capture stand-in sent in record_noise_stream (16-bit big-endian samples).
inline constexpr const char* kSentSamples = "/tmp/sent.raw";
// A recorded scene: the block in output mode 2 with `assignments` and the ADC input, the
// service in `service`, and once its first format is applied, `seconds` of noise with
// `channels` channels from the capture stand-in in 1920-byte datagrams at real-time
// pace. `out` gets every datagram received on 127.0.0.1:1234 from the start until 500 ms
// after the capture ended. Fails the test (call it in ASSERT_NO_FATAL_FAILURE) when a step fails.
void record_noise_stream(Process& service, const std::vector<std::string>& assignments,
                         int channels, int seconds, std::vector<TsDatagram>& out);

// The datagrams' bytes, back to back, into a file (a .ts file that tools read); false
// when it cannot be written.
bool write_ts_file(const std::string& path, const std::vector<TsDatagram>& ds);

unsigned ts_pid(const std::uint8_t* packet);
bool ts_pusi(const std::uint8_t* packet);

// PIDs of the datagram's packets, in order; an empty list for a datagram that is not a
// whole number of packets with sync bytes.
std::vector<unsigned> datagram_pids(const TsDatagram& d);
// Packets on `pid` in all the datagrams.
std::size_t count_packets_on(const std::vector<TsDatagram>& ds, unsigned pid);
// The datagrams the service sends on its own schedule: PAT + PMT, and a lone PCR packet.
bool is_psi(const TsDatagram& d);
bool is_pcr(const TsDatagram& d);
bool has_audio(const std::vector<TsDatagram>& ds);
std::size_t how_many(const std::vector<TsDatagram>& ds, bool (*kind)(const TsDatagram&));
// The shortest interval in ms between arrivals of the datagrams `kind` picks.
double shortest_gap_ms(const std::vector<TsDatagram>& ds, bool (*kind)(const TsDatagram&));

// "" when, on every PID, each packet's continuity counter is the previous one's plus one
// (mod 16); else the first gap, described.
std::string continuity_gaps(const std::vector<TsDatagram>& ds);

// The 33-bit PCR base of a packet whose adaptation field carries a PCR, else -1.
std::int64_t pcr_base(const std::uint8_t* packet);

// One audio PES as it came: its PES bytes (header included) from the payloads of its
// packets, the transport private data (sequence number) of its first packet, its PTS and
// the PCR values of the PCR packets around it.
struct ReceivedPes {
    std::vector<std::uint8_t> bytes;
    std::uint32_t sequence = 0;
    std::int64_t pts = -1;
    std::int64_t pcr_before = -1;  // PCR base of the last PCR packet before it, -1 if none
    std::int64_t pcr_after = -1;   // of the first PCR packet after it, -1 if none
};
// The PES packets of the audio PID, from the first packet with payload_unit_start on.
std::vector<ReceivedPes> audio_pes(const std::vector<TsDatagram>& ds);

// The samples of an LPCM PES: what follows the PES header and the 4-byte LPCM header.
std::vector<std::uint8_t> lpcm_samples(const ReceivedPes& pes);

// The clock of the service's PTS and PCR: microseconds / 100 * 9, low 32 bits.
std::uint32_t wall_clock_90k(std::int64_t usec);
// a - b on the 32-bit 90 kHz clock, as a signed difference.
std::int32_t ticks_between(std::int64_t a, std::int64_t b);
