#include "Service/Quillon/ks/KsMultipleItem.h"

#include <cstring>

bool KsMultipleItemVariable(const void* block, ULONG cbAnswer, ULONG minElementSize, ULONG* count,
                            ULONG* cbElements) {
    if (count) *count = 0;
    if (cbElements) *cbElements = 0;
    if (!block || cbAnswer < sizeof(KSMULTIPLE_ITEM) || minElementSize == 0) return false;
    KSMULTIPLE_ITEM item;
    std::memcpy(&item, block, sizeof item);
    if (item.Size < sizeof item || item.Size > cbAnswer) return false;
    const ULONG bytes = item.Size - static_cast<ULONG>(sizeof item);
    if (static_cast<ULONGLONG>(item.Count) * minElementSize > bytes) return false;
    if (count) *count = item.Count;
    if (cbElements) *cbElements = bytes;
    return true;
}

bool KsMultipleItemElements(const void* block, ULONG cbAnswer, ULONG elementSize, ULONG* count) {
    return KsMultipleItemVariable(block, cbAnswer, elementSize, count, nullptr);
}
