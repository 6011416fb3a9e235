// The fields of the shared configuration block that the input and the outputs read, as a
// small view handed to them by the main loop: they never reach for the block themselves,
// and tests hand them a view over plain memory. Each accessor loads its field afresh at the
// moment of the call (other processes write the block at any moment, so nothing is cached),
// and a field that lies beyond the end of the block reads as 0 or as empty text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/audio_format.h"

struct SsrcSeeds {
    std::uint8_t hi, mid, lo;  // bits 31..24, 23..16 and 15..8 of the SSRC base
};

class BlockView {
  public:
    BlockView() = default;
    // `block` is the start of the block, laid out as the shared segment; `size` its bytes.
    BlockView(void* block, std::size_t size)
        : base_(static_cast<std::uint8_t*>(block)), size_(size) {}

    // Output settings.
    std::int32_t mtu() const;  // stored as u32, used as signed
    int multicast_ttl() const;
    SsrcSeeds ssrc_seeds() const;
    // The TS destination in force (ts_dest_ip, or ts_dest_ip_alt when ts_dest_select is 1)
    // and the appliance's own address, copied NUL-terminated into out. Return the length.
    std::size_t ts_destination(char* out, std::size_t out_size) const;
    std::size_t local_ip(char* out, std::size_t out_size) const;

    // Input settings.
    bool use_alt_settings() const;
    std::uint16_t board_type() const;
    std::uint32_t channel_mode() const;
    std::uint32_t codec() const;
    std::uint32_t rate_mode() const;
    AudioFormat alt_format() const;  // the alternate set's fixed format
    // Writes the detected format into cur_audio_source .. cur_audio_rate.
    void publish_format(const AudioFormat& f) const;

    std::size_t size() const { return size_; }

  private:
    std::uint32_t load32(std::size_t offset) const;
    std::uint16_t load16(std::size_t offset) const;
    std::uint8_t load8(std::size_t offset) const;
    void store32(std::size_t offset, std::uint32_t v) const;
    std::size_t text(std::size_t offset, std::size_t room, char* out, std::size_t out_size) const;

    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
};

// The view of the attached segment (an empty view, every field 0, before shm_attach).
BlockView attached_block();
