// Test access to the event queue (not for the layers above).
#pragma once

// Receives every record instead of the session actions while installed.
using EventSink = void (*)(int event, int arg1, int arg2);
// Installs `sink` (null restores the session actions).
void setEventSink(EventSink sink);
// Identifier of the event queue; -1 before nvackExec and after nvackClose.
int nvackQueueId();
