// The link engine: turns a byte stream to a module into a packet channel.
//
// Each link owns its stream, a reader thread that assembles received bytes
// into packets, answers the module's heartbeats and queues everything else
// into an input FIFO, and a writer thread that sends the packets of an output
// FIFO. Links live in a process-wide registry under identifiers counted from
// 1 and never reused within the process; 0 names no link. Asking twice for a
// link to the same module returns the same identifier and counts one more
// user; the link goes away when its last user destroys it.
//
// Every function may be called from any thread. Creation, reset and
// destruction of links are serialised with each other by the engine.
#ifndef QUILLAREX_ALINK_H
#define QUILLAREX_ALINK_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"
#include "common/aPacketFifo.h"
#include "common/aStream.h"

// Link status, as aLink_GetStatus reports it.
#define aLINK_STATUS_STOPPED 0      // stopped, a stream is present
#define aLINK_STATUS_STARTING 1     // threads being started
#define aLINK_STATUS_RUNNING 2      // running and synchronised
#define aLINK_STATUS_STOPPING 3     // being stopped
#define aLINK_STATUS_SYNCING 4      // synchronising with the module
#define aLINK_STATUS_NO_STREAM 5    // no stream; also any unknown identifier
#define aLINK_STATUS_IO_ERROR 6     // the stream failed; the reader retries
#define aLINK_STATUS_QUEUE_ERROR 8  // a received packet could not be queued

// Registry entry types.
#define aLINK_TYPE_STREAM 0  // a caller's stream (aLink_Create)
#define aLINK_TYPE_USB 1
#define aLINK_TYPE_TCPIP 2
#define aLINK_TYPE_SERIAL 3
#define aLINK_TYPE_CLIENT 4

// Bytes the writer sends in one stream write at most in pooled mode.
#define aLINK_POOL_BYTES 4096

// ---- Creation and lifetime ----

// A link to the module with this serial number on USB, started and
// synchronised; 0 when the module cannot be opened, the link does not start,
// or the module is shared by a network server (reach it as a client then).
uint32_t aLink_CreateUSB(uint32_t serialNumber);

// A link over TCP to address (IPv4, network byte order) and port, started
// but not synchronised (call aLink_Sync). Shared by serial number with any
// existing TCP/IP link to that module; 0 on failure or when that module is
// shared by a network server.
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);

// A link over the COBS-framed serial port at devicePath, at one of the rates
// 2400, 4800, 9600, 19200, 38400, 57600, 115200 and 230400 (8 data bits, no
// parity, 1 stop bit), started but not synchronised. Shared by serial
// number; 0 on failure or for another rate.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* devicePath, uint32_t baudRate);

// With existingId not 0: one more use of that link, or 0 when it does not
// exist. With 0: a new client link to the sharing server at address and port
// (every call makes a distinct link); 0 on failure.
uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingId);

// Shares the module of link deviceId on the network and returns a client
// link to it; *port receives the server's port and *networkInterface (IPv4,
// network byte order; passed in and given back) its interface. 0 on failure.
// Network sharing is not built yet: this always returns 0.
uint32_t aLink_CreateServer(uint32_t deviceId, uint16_t* port, uint32_t* networkInterface,
                            bool serverOption);

// A started (not synchronised) link over a stream the caller made; the link
// owns the stream from then on, also when the call fails. It is never
// shared and cannot be reset. 0 on failure or for a null stream.
uint32_t aLink_Create(aStreamRef stream);

// One user fewer; the last one stops the link (route forcing off is sent
// first), closes its stream and frees it. *id is set to 0 in every case.
// aErrNone; aErrParam (null reference or unknown identifier).
aErr aLink_Destroy(uint32_t* id);

// Stops the link, makes a new stream to the same module (USB, TCP/IP or
// client links; up to 20 attempts 100 ms apart) and starts the link again
// with new FIFOs; the user filter, pooled mode and the packet log are
// cleared. aErrParam (unknown identifier; serial links and links over a
// caller's stream cannot be remade), the last creation error when no stream
// could be made (the link stays stopped), or the result of the start.
aErr aLink_Reset(uint32_t id);

// Synchronises the byte stream with the module (six 0xAD 0x00 requests,
// answered by zero-length packets from the module's address), waiting up to
// 2 s, then discards every packet queued in both directions. aErrNone;
// aErrNotReady (not synchronised in time; the FIFOs are emptied all the
// same); aErrParam (unknown identifier).
aErr aLink_Sync(uint32_t id);

// The link's aLINK_STATUS_*; aLINK_STATUS_NO_STREAM for an unknown
// identifier.
uint32_t aLink_GetStatus(uint32_t id);

// How many times the link's stream has failed under its reader since the
// link was made (each run of failures counts once; a module that restarts
// closes its end). The count only grows, so a drop that healed between two
// looks is still seen. 0 for an unknown identifier.
uint32_t aLink_GetStreamFailures(uint32_t id);

// ---- Packets ----
// Returned packets are new objects that the caller destroys.

// Queues a copy of packet for sending. A packet with address 0, which no
// module can take, is dropped by the writer. aErrNone; aErrParam (unknown
// identifier, invalid packet, no FIFO).
aErr aLink_PutPacket(uint32_t id, const aPacket* packet);

// The oldest received packet, removed; null when none (or unknown link).
aPacketRef aLink_GetPacket(uint32_t id);

// As aLink_GetPacket, waiting up to timeoutMs for one.
aPacketRef aLink_AwaitPacket(uint32_t id, uint32_t timeoutMs);

// The oldest received packet that procedure accepts, removed; null when none.
aPacketRef aLink_GetFirst(uint32_t id, aPacketFilterProc procedure, const void* reference);

// Removes every received packet that procedure accepts; the number removed.
size_t aLink_DrainPackets(uint32_t id, aPacketFilterProc procedure, const void* reference);

// The oldest received packet that procedure accepts, waiting up to timeoutMs
// while the link is running and synchronised. Null at once when it is not;
// null as soon as it stops being so (an I/O error, a stop, a reset or a
// destruction cuts the wait short), or at the time-out.
aPacketRef aLink_AwaitFirst(uint32_t id, aPacketFilterProc procedure, const void* reference,
                            uint32_t timeoutMs);

// A filter the reader thread shows every received packet to first; a packet
// it accepts is consumed (not answered as a heartbeat, not queued). It runs
// on the reader thread and must not install or remove filters. Null removes
// it. aErrNone; aErrParam (unknown identifier).
aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketFilterProc procedure, const void* reference);

// Pooled mode: the writer sends up to aLINK_POOL_BYTES of queued packets in
// one stream write instead of one write per packet. aErrParam for an unknown
// identifier.
aErr aLink_EnablePooledPackets(uint32_t id, bool enable);

// ---- Packet log ----
// A ring recording the packets sent (kind 1, the first packet of each write)
// and received (kind 2), and texts (kind 3). Unknown identifier: aErrParam.

// Size of the log to create, in bytes (0 or negative: 65536). aErrParam
// above 0x4000000; aErrBusy once the log exists.
aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t size);
// Creates the log (when needed) and marks it enabled; aErrResource when it
// cannot be made.
aErr aLink_PacketDebug_Enable(uint32_t id);
// Marks the log disabled (recording goes on while it exists); aErrNotReady
// without a log.
aErr aLink_PacketDebug_Disable(uint32_t id);
// Takes the oldest entry: on entry *length is the buffer's capacity, on
// return the payload's length. aErrNotReady without a log; otherwise as
// aPacketLog_Get.
aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* kind, uint32_t* length, uint8_t* buffer);
// Appends an entry. aErrNotReady without a log; otherwise as aPacketLog_Put.
aErr aLink_PacketDebug_Write(uint32_t id, uint8_t kind, uint32_t length, const uint8_t* bytes);

// ---- Internal operations, for the object layer and the network server ----

typedef struct aLinkRecord aLinkRecord;

// (Re)initialises the record of registry entry id over stream (null: no
// stream) and returns id, or 0 when there is no such entry. Called once per
// entry by the create functions.
uint32_t aLink_Init(uint32_t id, aStreamRef stream);

// Starts the reader and writer threads and waits up to 2 s for them to run
// with the link synchronised, then queues route forcing on. aErrNone (also
// when already running); aErrParam (unknown identifier); aErrNotReady (no
// stream); aErrResource (a thread could not be made); aErrIndexRange (not
// up within 2 s; the threads keep running).
aErr aLink_Start(uint32_t id);

// Queues route forcing off, stops both threads (the writer sends what is
// still queued) and leaves the link stopped. aErrNone; aErrParam (null
// record); aErrUnknown (a thread could not be joined).
aErr aLink_Stop(aLinkRecord* link);

// Queues the route forcing packet 0xAF 0x01 on/off. aErrNotFound (unknown
// identifier), aErrParam (no link record), aErrMemory, or the put's result.
aErr aLink_ForceRoute(uint32_t id, bool on);

#endif
