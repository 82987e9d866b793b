// A host built against the three-slot StreamCoreSink (three_slot_host.cpp). The object is
// handed over as the sink pointer such a host passes to SetSink.
#pragma once

void* NewThreeSlotHost();
void DeleteThreeSlotHost(void* host);
// True once a publish result "connected" named the stream.
bool ThreeSlotHostConnected(void* host, const char* name);
