/* DRAL: shared access to one vehicle-network adapter (CAN, J1939, J1708/J1587).
 *
 * Link with libDRAL.so (pkg-config --cflags --libs dral). Loading the library starts the
 * DRALServer program when none runs. Each DRAL_Connect opens one connection (at most 16 on the
 * machine); the connection queues the messages the server routes to it until DRAL_GetMessage
 * fetches them.
 *
 * Every function may be called from any thread, also at the same time on one connection.
 * A DRAL_Handle that is not a live connection (never returned, or disconnected) is answered
 * with DRAL_ERR_PARAMETER and is never dereferenced.
 *
 * How long calls can wait (each wait is bounded; the figures are the worst cases):
 * - Loading the library, when no server runs: starting DRALServer (up to 5 s), then up to 50
 *   looks 100 ms apart for it to come up, so about 10 s in all. Unloading it disconnects every
 *   connection left open, as DRAL_Disconnect does.
 * - Every call that hands a record to the server (DRAL_Connect, DRAL_PutMessage,
 *   DRAL_ConfigFilter, DRAL_ReleaseAddress, DRAL_Disconnect) may wait up to 1 s for the channel
 *   when another process holds it.
 * - DRAL_ConfigFilter: up to 3 s for an earlier filter request of the same connection to end
 *   (they run one at a time), then up to 1 s for the server's reply.
 * - DRAL_Disconnect: first for calls of the connection still running on other threads (their
 *   own bounds), then up to 1 s for each of its three closing filter edits, the end of the
 *   connection's multi-packet sends (they are stopped; at most about 1 s) and of its receive
 *   thread (normally milliseconds, at most about 2 s) and up to 1 s to free its slot: about
 *   7 s in all. A receive thread held up in the connection's address-lost callback (also by a
 *   lock the disconnecting thread holds) is waited for 2 s at most: the disconnect then
 *   returns, and the thread ends on its own once the callback returns. The connection's slot
 *   stays taken until the next DRAL_Connect or DRAL_Disconnect after that (or the unload).
 *   The unload waits for each connection left open in the same way.
 * - DRAL_PutMessage of a J1939 message of more than 8 data bytes starts a multi-packet send
 *   and returns; when a send to the same destination is unfinished it asks again after 25 ms.
 *   The outcome of the send is not reported.
 * - DRAL_ClaimAddress waits 250 ms for another node to contest the claim.
 * - DRAL_GetMessage, DRAL_GetStatus, DRAL_GetAdapterVersion, DRAL_GetAdapterStatus and
 *   DRAL_RegAddressLostCallback do not wait.
 *
 * All multi-byte fields of the message layouts are little-endian; the layouts are packed.
 */
#ifndef DRAL_H_INCLUDED
#define DRAL_H_INCLUDED

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An open connection; 0 is never a valid handle. */
typedef uint32_t DRAL_Handle;

/* ---- Result codes -------------------------------------------------------------------------- */

#define DRAL_OK 0x10000u                   /* success (DRAL_GetStatus ORs the link state in) */
#define DRAL_ERR_PARAMETER 0xFFFFu         /* handle not a live connection, or a null pointer */
#define DRAL_ERR_ADDRESS_RANGE 0x1101u     /* DRAL_ClaimAddress: address above 253 */
#define DRAL_ERR_CLAIM_FAILED 0x1102u      /* DRAL_ClaimAddress: not sent, or lost at once */
#define DRAL_ERR_FILTER_INVALID 0x1201u    /* DRAL_ConfigFilter: unknown protocol or operation */
#define DRAL_ERR_FILTER_NO_REPLY 0x1202u   /* DRAL_ConfigFilter: not sent, or no reply in 1 s */
#define DRAL_ERR_FILTER_REFUSED 0x1203u    /* DRAL_ConfigFilter: the server refused the edit */
#define DRAL_ERR_SEND_FAILED 0x2000u       /* DRAL_PutMessage: unknown protocol, ring full, ... */
#define DRAL_ERR_TRANSPORT_TIMEOUT 0x2001u /* outcome of a multi-packet send (not returned) */
#define DRAL_ERR_TRANSPORT_ABORTED 0x2002u /* outcome of a multi-packet send (not returned) */
#define DRAL_ERR_NO_ADDRESS 0x2003u        /* J1939 multi-packet send to one node, no address */
#define DRAL_ERR_TRANSPORT_BUSY 0x2004u    /* a multi-packet send to that node is unfinished */
#define DRAL_ERR_LENGTH 0x2005u            /* message length outside its protocol's range */

/* Link states (low 16 bits of DRAL_GetStatus, byte 0 of DralAdapterStatus is the low byte). */
#define DRAL_LINK_STOPPED 0x100u
#define DRAL_LINK_SEARCHING 0x101u
#define DRAL_LINK_CONNECTED 0x102u
#define DRAL_LINK_NO_SERVER 0x103u

/* ---- Protocols: byte 0 of every message, low nibble of DralFilter.Protocol ------------------ */

#define DRAL_PROTOCOL_CAN1 1u
#define DRAL_PROTOCOL_J1939_CAN1 2u
#define DRAL_PROTOCOL_J1708 3u
#define DRAL_PROTOCOL_CAN2 4u
#define DRAL_PROTOCOL_J1939_CAN2 5u
#define DRAL_PROTOCOL_RAW 0x20u
/* On CAN1 and CAN2 (0x81, 0x84): the frame uses a standard 11-bit identifier. */
#define DRAL_PROTOCOL_STANDARD_ID 0x80u

/* ---- Message layouts ------------------------------------------------------------------------ */

#define DRAL_CAN_MIN_LENGTH 5u
#define DRAL_CAN_MAX_LENGTH 13u
#define DRAL_J1939_MIN_LENGTH 7u
#define DRAL_J1939_MAX_LENGTH 1792u
#define DRAL_J1708_MIN_LENGTH 3u
#define DRAL_J1708_MAX_LENGTH 507u
#define DRAL_RAW_MIN_LENGTH 2u
#define DRAL_RAW_MAX_LENGTH 2050u
/* No message that DRAL_GetMessage returns is longer. */
#define DRAL_MAX_MESSAGE_LENGTH 2001u

/* Bit 7 of DralJ1939Message.Priority on send: a multi-packet message goes out as a broadcast. */
#define DRAL_J1939_BROADCAST 0x80u

#if defined(__cplusplus)
#define DRAL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define DRAL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#pragma pack(push, 1)

/* Protocol 1, 4, 0x81, 0x84; length 5..13. */
typedef struct DralCanMessage {
  uint8_t Protocol;
  uint32_t Identifier;
  uint8_t Data[8];
} DralCanMessage;

/* Protocol 2, 5; length 7..1792 (0..1785 data bytes). */
typedef struct DralJ1939Message {
  uint8_t Protocol;
  uint8_t PduSpecific;        /* group extension when PduFormat >= 240; 0 on receive otherwise */
  uint8_t PduFormat;
  uint8_t DataPage;           /* bit 0 */
  uint8_t Priority;           /* bits 0-2; on send bit 7 = DRAL_J1939_BROADCAST */
  uint8_t SourceAddress;
  uint8_t DestinationAddress; /* 255 on receive when PduFormat >= 240 */
  uint8_t Data[1785];
} DralJ1939Message;

/* Protocol 3; length 3..507. */
typedef struct DralJ1708Message {
  uint8_t Protocol;
  uint8_t Header;   /* passed to the adapter on send; 0xFF on receive */
  uint8_t Data[505]; /* the J1708 message, MID first, without checksum */
} DralJ1708Message;

/* Protocol 0x20; length 2..2050: an adapter message of the given type. */
typedef struct DralRawMessage {
  uint8_t Protocol;
  uint8_t Type;
  uint8_t Data[2048];
} DralRawMessage;

/* DralJ1939FilterData.Fields */
#define DRAL_J1939_FILTER_PGN 0x01u
#define DRAL_J1939_FILTER_PRIORITY 0x02u
#define DRAL_J1939_FILTER_SOURCE 0x04u
#define DRAL_J1939_FILTER_DESTINATION 0x08u

typedef struct DralJ1939FilterData {
  uint8_t Fields;
  uint8_t PduSpecific;
  uint8_t PduFormat;
  uint8_t DataPage;
  uint8_t Priority;
  uint8_t SourceAddress;
  uint8_t DestinationAddress;
} DralJ1939FilterData;

typedef struct DralCanFilterData {
  uint32_t Mask;
  uint32_t Value;
} DralCanFilterData;

/* DralFilter.Operation */
#define DRAL_FILTER_PASS_ALL 1u
#define DRAL_FILTER_BLOCK_ALL 2u
#define DRAL_FILTER_PASS 3u  /* with data */
#define DRAL_FILTER_BLOCK 4u /* with data */
/* CAN: on Operation with DRAL_FILTER_BLOCK, and on Protocol with DRAL_FILTER_PASS, bit 7 marks a
 * standard 11-bit identifier. */
#define DRAL_FILTER_STANDARD_ID 0x80u

/* Only the bytes that the operation uses are read: 2 for PASS_ALL and BLOCK_ALL, then 8 (CAN),
 * 7 (J1939) or 1 (J1708) more for PASS and BLOCK. */
typedef struct DralFilter {
  uint8_t Operation;
  uint8_t Protocol; /* DRAL_PROTOCOL_CAN1 .. DRAL_PROTOCOL_J1939_CAN2 in the low nibble */
  union {
    DralCanFilterData Can;
    DralJ1939FilterData J1939;
    uint8_t Mid;
  } Data;
} DralFilter;

/* DRAL_GetAdapterStatus */
typedef struct DralAdapterStatus {
  uint8_t LinkState;   /* low byte of the link state */
  uint8_t Connections; /* open connections of all processes */
  uint8_t Can1Status;
  uint8_t Can2Status;
  uint8_t J1708Status;
  uint8_t OtherStatus;
} DralAdapterStatus;

#pragma pack(pop)

DRAL_STATIC_ASSERT(sizeof(DralCanMessage) == 13, "DralCanMessage layout");
DRAL_STATIC_ASSERT(sizeof(DralJ1939Message) == 1792, "DralJ1939Message layout");
DRAL_STATIC_ASSERT(sizeof(DralJ1708Message) == 507, "DralJ1708Message layout");
DRAL_STATIC_ASSERT(sizeof(DralRawMessage) == 2050, "DralRawMessage layout");
DRAL_STATIC_ASSERT(sizeof(DralJ1939FilterData) == 7, "DralJ1939FilterData layout");
DRAL_STATIC_ASSERT(sizeof(DralFilter) == 10, "DralFilter layout");
DRAL_STATIC_ASSERT(sizeof(DralAdapterStatus) == 6, "DralAdapterStatus layout");

/* Called on the connection's receive thread when a claimed J1939 address is lost (after the
 * library has sent the cannot-claim message, the claim from the null address 254 with the
 * NAME); the low byte of the argument is the address. It must not call DRAL_Disconnect for
 * that connection (that call is refused). While it runs, the connection's received messages
 * wait in the channel instead of reaching DRAL_GetMessage. */
typedef void (*DRAL_AddressLostCallback)(uint32_t address);

/* ---- Functions ------------------------------------------------------------------------------ */

/* Opens a connection; 0 when all 16 are taken or it cannot be created. */
DRAL_Handle DRAL_Connect(void);
/* Closes the connection; its handle is invalid afterwards. DRAL_OK. */
uint32_t DRAL_Disconnect(DRAL_Handle handle);
/* Edits the connection's receive filter and waits for the server's reply. */
uint32_t DRAL_ConfigFilter(DRAL_Handle handle, const DralFilter* filter);
/* Copies the oldest received message into `buffer`; returns its length, or 0 when none is
 * queued. A message longer than `size` is discarded (0 is returned). Never blocks. */
uint32_t DRAL_GetMessage(DRAL_Handle handle, uint8_t* buffer, uint16_t size);
/* Sends one message (layouts above) of `length` bytes. */
uint32_t DRAL_PutMessage(DRAL_Handle handle, const uint8_t* message, uint16_t length);
/* Claims a J1939 address on protocol 2 or 5 with the 8-byte NAME. */
uint32_t DRAL_ClaimAddress(DRAL_Handle handle, uint8_t protocol, uint8_t address,
                           const uint8_t name[8]);
/* Gives up the address claimed on protocol 2 or 5. DRAL_OK. */
uint32_t DRAL_ReleaseAddress(DRAL_Handle handle, uint8_t protocol);
/* DRAL_OK ORed with the link state (DRAL_LINK_*). */
uint32_t DRAL_GetStatus(DRAL_Handle handle);
/* The adapter's 6 version bytes (byte 2 major, byte 3 minor). DRAL_OK. */
uint32_t DRAL_GetAdapterVersion(DRAL_Handle handle, uint8_t buffer[6]);
/* Fills a DralAdapterStatus. DRAL_OK. */
uint32_t DRAL_GetAdapterStatus(DRAL_Handle handle, uint8_t buffer[6]);
/* Sets the connection's address-lost callback (null clears it). DRAL_OK. Setting a callback
 * keeps the library loaded for the rest of the process, so that a receive thread left running
 * in the callback (see DRAL_Disconnect above) can return into it: a later dlclose no longer
 * unloads it, and connections left open are closed at process exit. When the library cannot
 * keep itself loaded, no callback is set (DRAL_ERR_PARAMETER). */
uint32_t DRAL_RegAddressLostCallback(DRAL_Handle handle, DRAL_AddressLostCallback callback);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DRAL_H_INCLUDED */
