/* A C application of the public header: every function, type and constant in use. */
#include <DRAL.h>
#include <stdio.h>
#include <string.h>

static void OnAddressLost(uint32_t address) { printf("lost %u\n", (unsigned)(address & 0xFF)); }

int main(void) {
  DralFilter filter;
  DralCanMessage can;
  uint8_t buffer[DRAL_MAX_MESSAGE_LENGTH];
  uint8_t version[6];
  DralAdapterStatus status;
  static const uint8_t name[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  DRAL_Handle handle = DRAL_Connect();
  if (handle == 0) return 1;

  memset(&filter, 0, sizeof filter);
  filter.Operation = DRAL_FILTER_PASS;
  filter.Protocol = DRAL_PROTOCOL_J1939_CAN1;
  filter.Data.J1939.Fields = DRAL_J1939_FILTER_PGN;
  filter.Data.J1939.PduFormat = 0xFE;
  (void)DRAL_ConfigFilter(handle, &filter);

  can.Protocol = DRAL_PROTOCOL_CAN1 | DRAL_PROTOCOL_STANDARD_ID;
  can.Identifier = 0x123;
  memset(can.Data, 0, sizeof can.Data);
  if (DRAL_PutMessage(handle, (const uint8_t*)&can, sizeof can) != DRAL_OK) puts("not sent");
  (void)DRAL_GetMessage(handle, buffer, (uint16_t)sizeof buffer);
  (void)DRAL_ClaimAddress(handle, DRAL_PROTOCOL_J1939_CAN1, 0x80, name);
  (void)DRAL_ReleaseAddress(handle, DRAL_PROTOCOL_J1939_CAN1);
  printf("status %x\n", (unsigned)DRAL_GetStatus(handle));
  (void)DRAL_GetAdapterVersion(handle, version);
  (void)DRAL_GetAdapterStatus(handle, (uint8_t*)&status);
  (void)DRAL_RegAddressLostCallback(handle, OnAddressLost);
  return DRAL_Disconnect(handle) == DRAL_OK ? 0 : 1;
}
