// The message-queue mailbox: numbered System V message queues (mailbox N has IPC key N)
// through which the appliance's processes trade short messages of fixed layout. The
// service sends one message, announce_service() at start-up; the other senders and
// receivers of the family serve the appliance's other processes and the stand-ins.
//
// Every operation opens its mailbox afresh by number; the module keeps no state. Sends
// never block in the kernel (IPC_NOWAIT); the only waits are a 1 ms pause when a queue is
// within 1024 bytes of its limit, the 3 s retry of a failing msgget, and the 6 ms polling
// steps of mbx_recv_timeout. Results: senders 1 = sent, 0 = failed; receivers the payload
// byte count, or 0 or less when nothing was received.
//
// Bound on a send that can never fit: a send that finds its queue full flushes the
// mailbox (every pending message, other processes' included, is discarded) and tries
// again, at most kMbxFlushRounds times; when the queue is still full after the last
// round (for example a payload larger than the queue's byte limit), "msgsnd" is logged
// with the system's error text and the send returns 0.
#pragma once

#include <cstddef>
#include <cstdint>

// Room of a payload: the send buffer and every receive hold this many bytes.
inline constexpr std::size_t kMbxPayloadMax = 2048;
// A send pauses once when the queued bytes plus its payload pass the limit minus this.
inline constexpr unsigned long kMbxHeadroom = 1024;
inline constexpr unsigned kMbxPauseUsec = 1000;
// Flush-and-retry rounds a send makes on a full queue before giving up.
inline constexpr int kMbxFlushRounds = 8;
// Permissions of a mailbox created by open_msgq.
inline constexpr int kMbxCreateMode = 0660;

// msgget(mailbox, IPC_CREAT | 0660). While it fails: "msgget" through dbg_perror, 3 s
// pause, and again, for as long as it takes. Returns only with a valid queue identifier.
int open_msgq(int mailbox);

// Sends a payload of `size` bytes as one message of type `mailbox`, without blocking:
// pauses 1 ms first when the queue is nearly full, flushes the mailbox when it is full
// (see the bound above). A size above kMbxPayloadMax is refused ("msgsnd" with
// EMSGSIZE logged, result 0). Other msgsnd failures: "msgsnd" logged, result 0.
int mbx_send(int mailbox, const void* payload, std::size_t size);

// True when a send of `size` bytes should pause first: queued + size > limit - 1024, in
// the queue's unsigned arithmetic (a limit below 1024 wraps, so such a queue never pauses).
bool mbx_near_full(unsigned long queued_bytes, unsigned long byte_limit, std::size_t size);

// The receives take a message of any type, copy exactly its payload into `dest` (room for
// kMbxPayloadMax bytes) and return its size; on failure they return -1 and leave errno.
// No message waiting is ENOMSG. A message longer than kMbxPayloadMax stays queued (E2BIG).

// Non-blocking; every failure but ENOMSG is logged as "msgrcv".
int mbx_recv_nowait(int mailbox, void* dest);
// Non-blocking; ENOMSG and EINTR are silent, other failures logged as "msgrcv".
int mbx_recv_poll(int mailbox, void* dest);
// Blocks until a message arrives; ENOMSG and EINTR are silent, others logged "msgrcv".
int mbx_recv_wait(int mailbox, void* dest);
// Polls: one attempt, then while nothing came and budget > 0, a 6 ms pause, budget -= 10
// and another attempt. A budget of 0 or less makes exactly one attempt; 1000 about 0.6 s.
// Failures other than ENOMSG end the poll and are logged as "msgrcv".
int mbx_recv_timeout(int mailbox, void* dest, int budget);

// Discards every pending message of the mailbox; returns the last receive's result (≤ 0).
int mbx_flush(int mailbox);

// msgctl(IPC_RMID): 0 on success; otherwise "fail to msgctl in remove_msgq" is logged
// and the result is non-zero.
int remove_msgq(int queue_id);
// Opens (creating it if need be) and removes a mailbox; the result of remove_msgq.
int mbx_delete(int mailbox);

// Sets the queue's permission bits from octal text ("660", "0600"); the result of the
// final msgctl(IPC_SET), or -1 when IPC_STAT fails or the text is not octal (then
// EINVAL, nothing changed).
int mbx_set_mode(int queue_id, const char* octal_mode);

// The message family. Each sender zeroes its payload, writes the code as a native u32 at
// offset 0, places its fields (native order; fixed text blocks copied whole, so the
// caller's block must hold that many bytes) and sends it with mbx_send. Parameters are
// named after their payload offset: b = u8, h = u16, w = u32, txt = byte block.

// Codes 1, 2, 3: the caller's own payload of 116, 468 or 252 bytes; the sender writes
// the code into the first word of the caller's buffer, then sends the buffer as it is.
int mbx_msg1(int mailbox, void* payload);
int mbx_msg2(int mailbox, void* payload);
int mbx_msg3(int mailbox, void* payload);

// To mailbox 5, 32 bytes: u8 at 4 (5..7 zero), u32 at 8, 12, 16, 20, 24, 28.
int mbx_msg4(std::uint8_t b4, std::uint32_t w8, std::uint32_t w12, std::uint32_t w16,
             std::uint32_t w20, std::uint32_t w24, std::uint32_t w28);
// To mailbox 4, 8 bytes.
int mbx_msg5(std::uint32_t w4);
// To mailbox 3 and then the same message to mailbox 9, 8 bytes; 1 only if both went.
int mbx_msg6(std::uint32_t w4);
// To mailbox 3, 104 bytes: u32 at 4, 56 bytes at 8, 40 bytes at 64.
int mbx_msg7(std::uint32_t w4, const char* txt8, const char* txt64);
// To mailbox 3, 128 bytes: 56 bytes at 4, 56 bytes at 60, u32 at 116, 120, 124.
int mbx_msg9(const char* txt4, const char* txt60, std::uint32_t w116, std::uint32_t w120,
             std::uint32_t w124);
// To mailbox 7.
int mbx_msg10(std::uint32_t w4);
int mbx_msg11();
// To mailbox 6.
int mbx_msg12();
// To mailbox 8.
int mbx_msg13(std::uint32_t w4);
int mbx_msg14();
int mbx_msg15(std::uint32_t w4, std::uint32_t w8, std::uint32_t w12, std::uint32_t w16);
// To mailbox 3.
int mbx_msg16();
// To mailbox 3, 24 bytes: a 16-byte address text at 4, u16 at 20, u16 at 22.
int mbx_msg17(const char* txt4, std::uint16_t h20, std::uint16_t h22);
int mbx_msg18(const char* txt4, std::uint16_t h20, std::uint16_t h22);
int mbx_msg19(const char* txt4, std::uint16_t h20, std::uint16_t h22);
int mbx_msg20(const char* txt4, std::uint16_t h20, std::uint16_t h22);
// To mailbox 3, 24 bytes: a 16-byte address text at 4, u16 at 20, 22..23 zero.
int mbx_msg21(const char* txt4, std::uint16_t h20);
int mbx_msg22(const char* txt4, std::uint16_t h20);
// To mailbox 3.
int mbx_msg23();
// Code 25 to mailbox 3, 4 bytes: the service is up. Start-up waits here until mailbox 3
// can be opened or created; the caller ignores the result.
int announce_service();
// To mailbox 6.
int mbx_msg26(std::uint32_t w4);
// To mailbox 3.
int mbx_msg27();
int mbx_msg28();
int mbx_msg160(std::uint32_t w4);
int mbx_msg161();
int mbx_msg162();
// To mailbox 1, 1024 bytes: NUL-terminated text from 4, cut at 1019 characters.
int mbx_msg240(const char* text);

// Waits on mailbox 4 for the answer to code 5: up to 10 empty mbx_recv_timeout rounds
// (budget 1000 each); messages of other codes are dropped without counting as a round.
// Answer 0xFFFFFFFF → 0, nothing stored; any other answer stored in *answer → 1;
// no answer → 0.
int mbx_wait_msg5(std::uint32_t* answer);
// Blocks on mailbox 9 until a message of code 6 arrives (other codes are dropped);
// stores its u32 at 4 in *value and returns its byte count.
int mbx_wait_msg6(std::uint32_t* value);
