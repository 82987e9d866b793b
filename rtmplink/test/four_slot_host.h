// A host built against the four-slot IRtmpMgrSink (four_slot_host.cpp). The object is handed
// over as the sink pointer such a host passes to CreateRtmpMgr.
#pragma once

void* NewFourSlotHost();
void DeleteFourSlotHost(void* host);
// How many publish results "connected" it got.
int FourSlotHostConnects(void* host);
