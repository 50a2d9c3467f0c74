// Checks of a KSMULTIPLE_ITEM answer from a driver before any of its elements is read.
#pragma once

#include "platform/win32.h"

// A list of fixed-size elements: true when the header lies inside the cbAnswer bytes, its Size is at
// least the header and at most cbAnswer, and its Count elements fit in Size; count then receives Count.
bool KsMultipleItemElements(const void* block, ULONG cbAnswer, ULONG elementSize, ULONG* count);

// A list of variable-size elements of at least minElementSize bytes each (data ranges): the same checks
// with the minimum size; cbElements receives the bytes after the header that Size covers.
bool KsMultipleItemVariable(const void* block, ULONG cbAnswer, ULONG minElementSize, ULONG* count,
                            ULONG* cbElements);
