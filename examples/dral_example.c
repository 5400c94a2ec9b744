/* dral_example: a small application on libDRAL.so.
 *
 * Connects to the adapter through the DRAL server (loading the library starts the server when
 * none runs), shows the link state and the adapter's version, asks for a few kinds of traffic,
 * sends one CAN frame, one J1939 message and one J1708 message, prints what arrives for a few
 * seconds and disconnects.
 *
 *     dral_example [seconds to listen, default 3]
 *
 * It uses nothing but DRAL.h.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "DRAL.h"

enum {
  kConnectWaitMs = 10000, /* how long to wait for the server to find the adapter */
  kVersionWaitMs = 2000,  /* and then for the adapter's version */
  kPollMs = 10
};

static void SleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static long NowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

/* What each link state means to an application. */
static const char* LinkStateText(uint32_t state) {
  switch (state) {
    case DRAL_LINK_STOPPED:
      return "the server runs; its adapter search has not begun";
    case DRAL_LINK_SEARCHING:
      return "the server runs and looks for the adapter; messages sent now are lost";
    case DRAL_LINK_CONNECTED:
      return "the server is connected to the adapter";
    case DRAL_LINK_NO_SERVER:
      return "no server serves the connection (yet): it is starting, or none runs";
    default:
      return "unknown";
  }
}

/* Prints the link state when it changed since *last; returns it. */
static uint32_t ShowLinkState(DRAL_Handle h, uint32_t* last) {
  const uint32_t state = DRAL_GetStatus(h) & 0xFFFF;
  if (state != *last) printf("link: %s (0x%X)\n", LinkStateText(state), (unsigned)state);
  *last = state;
  return state;
}

static void PrintBytes(const uint8_t* p, uint32_t n) {
  uint32_t i;
  for (i = 0; i < n; ++i) printf("%s%02X", i ? " " : "", p[i]);
}

static uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void PrintMessage(const uint8_t* m, uint32_t n) {
  const uint8_t protocol = m[0];
  if ((protocol & 0x7F) == DRAL_PROTOCOL_CAN1 || (protocol & 0x7F) == DRAL_PROTOCOL_CAN2) {
    printf("  CAN%d   id 0x%08X data [", (protocol & 0x7F) == DRAL_PROTOCOL_CAN1 ? 1 : 2,
           (unsigned)Le32(m + 1));
    PrintBytes(m + 5, n - 5);
    printf("]\n");
  } else if (protocol == DRAL_PROTOCOL_J1939_CAN1 || protocol == DRAL_PROTOCOL_J1939_CAN2) {
    const unsigned pgn = (unsigned)(m[3] & 1) << 16 | (unsigned)m[2] << 8 | m[1];
    printf("  J1939  PGN %u (0x%04X) from 0x%02X to 0x%02X priority %u data [", pgn, pgn, m[5],
           m[6], m[4]);
    PrintBytes(m + 7, n - 7);
    printf("]\n");
  } else if (protocol == DRAL_PROTOCOL_J1708) {
    printf("  J1708  MID %u [", m[2]); /* MID first; no checksum unless in raw mode */
    PrintBytes(m + 2, n - 2);
    printf("]\n");
  } else if (protocol == DRAL_PROTOCOL_RAW && n >= 2 && m[1] == 0x01) {
    /* The server's answers to filter changes arrive as replies; nothing to show. */
  } else {
    printf("  other  [");
    PrintBytes(m, n);
    printf("]\n");
  }
}

static int Check(const char* what, uint32_t result) {
  if (result == DRAL_OK) return 1;
  fprintf(stderr, "%s failed: 0x%04X\n", what, (unsigned)result);
  return 0;
}

static int SetFilters(DRAL_Handle h) {
  DralFilter f;
  int ok = 1;

  /* Every CAN frame on channel 1. */
  memset(&f, 0, sizeof f);
  f.Operation = DRAL_FILTER_PASS_ALL;
  f.Protocol = DRAL_PROTOCOL_CAN1;
  ok &= Check("CAN filter", DRAL_ConfigFilter(h, &f));

  /* J1939 on channel 1: only PGN 65265 (0xFEF1), cruise control / vehicle speed. */
  memset(&f, 0, sizeof f);
  f.Operation = DRAL_FILTER_PASS;
  f.Protocol = DRAL_PROTOCOL_J1939_CAN1;
  f.Data.J1939.Fields = DRAL_J1939_FILTER_PGN;
  f.Data.J1939.PduFormat = 0xFE;
  f.Data.J1939.PduSpecific = 0xF1;
  f.Data.J1939.DataPage = 0;
  ok &= Check("J1939 filter", DRAL_ConfigFilter(h, &f));

  /* J1708 from the engine (MID 128) only. */
  memset(&f, 0, sizeof f);
  f.Operation = DRAL_FILTER_PASS;
  f.Protocol = DRAL_PROTOCOL_J1708;
  f.Data.Mid = 128;
  ok &= Check("J1708 filter", DRAL_ConfigFilter(h, &f));
  return ok;
}

static int SendSome(DRAL_Handle h) {
  /* CAN channel 1, extended id 0x18DA00F1 (little-endian), three data bytes. */
  static const uint8_t can[] = {DRAL_PROTOCOL_CAN1, 0xF1, 0x00, 0xDA, 0x18, 0x02, 0x10, 0x01};
  /* J1939 request (PGN 59904) from 0xF9 to the engine (0x00) for PGN 65262 (engine temp). */
  static const uint8_t j1939[] = {
      DRAL_PROTOCOL_J1939_CAN1, 0x00, 0xEA, 0x00, 6, 0xF9, 0x00, 0xEE, 0xFE, 0x00};
  /* J1708: MID 172 asking (PID 0) for PID 84, road speed. Header 0: the adapter's default. */
  static const uint8_t j1708[] = {DRAL_PROTOCOL_J1708, 0x00, 172, 0x00, 84};
  int ok = 1;
  ok &= Check("send CAN", DRAL_PutMessage(h, can, sizeof can));
  ok &= Check("send J1939", DRAL_PutMessage(h, j1939, sizeof j1939));
  ok &= Check("send J1708", DRAL_PutMessage(h, j1708, sizeof j1708));
  if (ok) printf("sent one CAN frame, one J1939 request and one J1708 request\n");
  return ok;
}

int main(int argc, char** argv) {
  long listenMs = 3000;
  DRAL_Handle h;
  uint32_t state = 0, last = 0;
  uint8_t version[6];
  DralAdapterStatus status;
  uint8_t message[DRAL_MAX_MESSAGE_LENGTH];
  long start, until;
  unsigned received = 0;
  int ok = 1;

  if (argc > 1) {
    char* end = NULL;
    const double seconds = strtod(argv[1], &end);
    if (*end != '\0' || seconds < 0 || seconds > 3600) {
      fprintf(stderr, "usage: %s [seconds to listen]\n", argv[0]);
      return 2;
    }
    listenMs = (long)(seconds * 1000);
  }

  h = DRAL_Connect();
  if (h == 0) {
    fprintf(stderr, "DRAL_Connect failed: no free connection\n");
    return 1;
  }
  /* A connection opens whether or not a server runs; the link state tells. */
  printf("connection open (handle 0x%08X)\n", (unsigned)h);

  /* The server may still be starting, or looking for the adapter. */
  start = NowMs();
  for (;;) {
    state = ShowLinkState(h, &last);
    if (state == DRAL_LINK_CONNECTED || NowMs() - start > kConnectWaitMs) break;
    SleepMs(kPollMs);
  }
  if (state == DRAL_LINK_NO_SERVER) {
    /* Loading the library starts DRALServer; it is looked for beside libDRAL.so, in the
     * install's bin folder and on PATH. DRAL_DEBUG=<file> keeps the server's debug output. */
    fprintf(stderr, "no DRAL server came up within %d s\n", kConnectWaitMs / 1000);
    DRAL_Disconnect(h);
    return 1;
  }
  if (state != DRAL_LINK_CONNECTED) {
    fprintf(stderr, "no adapter found within %d s\n", kConnectWaitMs / 1000);
    DRAL_Disconnect(h);
    return 1;
  }

  /* The version arrives a moment after the link comes up; until then it reads as all 0xFF. */
  start = NowMs();
  do {
    DRAL_GetAdapterVersion(h, version);
    if (version[2] != 0xFF) break;
    SleepMs(kPollMs);
  } while (NowMs() - start < kVersionWaitMs);
  printf("adapter version %u.%u (bytes ", version[2], version[3]);
  PrintBytes(version, sizeof version);
  printf(")\n");
  ok &= SetFilters(h);
  printf("filters: all CAN1, J1939 PGN 65265 only, J1708 from MID 128 only\n");
  ok &= SendSome(h);

  printf("listening for %.1f s:\n", listenMs / 1000.0);
  until = NowMs() + listenMs;
  while (NowMs() < until) {
    const uint32_t n = DRAL_GetMessage(h, message, sizeof message);
    if (ShowLinkState(h, &last) == DRAL_LINK_NO_SERVER) {
      /* The server has gone (ended or killed). The connection stays open but carries nothing
       * until a server runs again (the next application that loads the library starts one);
       * this example stops listening. */
      ok = 0;
      break;
    }
    if (n == 0) {
      SleepMs(kPollMs);
      continue;
    }
    if (!(message[0] == DRAL_PROTOCOL_RAW && n >= 2 && message[1] == 0x01)) ++received;
    PrintMessage(message, n);
  }
  printf("received %u message(s)\n", received);

  /* The server asks the adapter for its status twice a second. */
  DRAL_GetAdapterStatus(h, (uint8_t*)&status);
  printf("adapter status: CAN1 0x%02X, CAN2 0x%02X, J1708 0x%02X; %u connection(s) to the server\n",
         status.Can1Status, status.Can2Status, status.J1708Status, status.Connections);

  DRAL_Disconnect(h);
  printf("disconnected\n");
  return ok ? 0 : 1;
}
