#include "sim/dovel.h"

#include <cstring>

#include "dovel_access_code.h"
#include "sim/state_file.h"

namespace {

constexpr uint8_t SET_FLAG = 0x80;
constexpr uint8_t PROPERTY_MASK = 0x7F;
constexpr int SET_REQUEST_MIN_LEN = 4;
constexpr int CHARACTER_LEN = 1;
constexpr int ACCESS_CODE_WORDS = static_cast<int>(sizeof DOVEL_ACCESS_CODE_BYTES) / 2;
constexpr int BITS_PER_BYTE = 8;
constexpr uint32_t BYTE_MASK = 0xFF;
// Little-endian reply: DATA[0] flag and property, DATA[1] zero, then the value bytes.
constexpr int REPLY_VALUE_OFFSET = 2;
// Packed reply: value bits 16 to 21 in DATA[0], 8 to 15 in DATA[1], 0 to 7 in DATA[2].
constexpr uint32_t PACKED_HIGH_MASK = 0x3F;
constexpr int PACKED_LEN = 3;
constexpr int64_t US_PER_MS = 1000;

struct PropertyValue {
    int32_t value;
    int bytes;  // value bytes in a little-endian reply
};

uint16_t setValue(const CanFrame* frame) {
    return static_cast<uint16_t>(frame->DATA[2] | (frame->DATA[3] << BITS_PER_BYTE));
}

int unlockProperty(const SimDovel* dovel) {
    return dovel->mode == SIM_MODE_MONITOR ? SIM_PROP_UNLOCK_MONITOR : SIM_PROP_UNLOCK_MAIN;
}

bool isAccessWord(int index, uint16_t word) {
    return word == (DOVEL_ACCESS_CODE_BYTES[2 * index] |
                    (DOVEL_ACCESS_CODE_BYTES[2 * index + 1] << BITS_PER_BYTE));
}

// Any frame but the next access-code word spoils an unlock in progress.
void breakUnlock(SimDovel* dovel) {
    if (!dovel->unlocked) {
        dovel->unlockWordsMatched = 0;
    }
}

void takeUnlockWord(SimDovel* dovel, uint16_t word) {
    if (dovel->unlocked) {
        return;
    }
    if (isAccessWord(dovel->unlockWordsMatched, word)) {
        ++dovel->unlockWordsMatched;
    } else {
        dovel->unlockWordsMatched = isAccessWord(0, word) ? 1 : 0;
    }
    dovel->unlocked = dovel->unlockWordsMatched == ACCESS_CODE_WORDS;
}

int sender(const SimHand* hand, const SimDovel* dovel) {
    return SIM_SENDER_FIRST_DOVEL + static_cast<int>(dovel - hand->dovels);
}

void send(SimHand* hand, SimDovel* dovel, const CanFrame* frame, int64_t readyUs, uint8_t hostLen) {
    if (!dovel->faults.silent) {
        simQueueFrame(hand, sender(hand, dovel), frame, readyUs, hostLen);
    }
}

CanFrame littleEndianReply(const SimDovel* dovel, int property, PropertyValue value) {
    CanFrame reply{};
    reply.ID = SIM_REPLY_ID_BASE | static_cast<uint32_t>(dovel->node);
    reply.TYPE = FRAME_TYPE_STANDARD;
    reply.LEN = static_cast<uint8_t>(REPLY_VALUE_OFFSET + value.bytes);
    reply.DATA[0] = static_cast<uint8_t>(SIM_REPLY_FLAG | property);
    for (int i = 0; i < value.bytes; ++i) {
        reply.DATA[REPLY_VALUE_OFFSET + i] = static_cast<uint8_t>(
            (static_cast<uint32_t>(value.value) >> (BITS_PER_BYTE * i)) & BYTE_MASK);
    }
    return reply;
}

CanFrame packedReply(const SimDovel* dovel, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    CanFrame reply{};
    reply.ID = SIM_PACKED_REPLY_ID_BASE |
               (static_cast<uint32_t>(dovel->node) << SIM_PACKED_NODE_SHIFT) |
               SIM_PACKED_REPLY_LOW_BITS;
    reply.TYPE = FRAME_TYPE_STANDARD;
    reply.LEN = PACKED_LEN;
    reply.DATA[0] =
        static_cast<uint8_t>(SIM_REPLY_FLAG | ((bits >> (2 * BITS_PER_BYTE)) & PACKED_HIGH_MASK));
    reply.DATA[1] = static_cast<uint8_t>((bits >> BITS_PER_BYTE) & BYTE_MASK);
    reply.DATA[2] = static_cast<uint8_t>(bits & BYTE_MASK);
    return reply;
}

int32_t mainVersion(const SimDovel* dovel) {
    return dovel->image == SIM_IMAGE_COMPLETE
               ? static_cast<int32_t>(dovel->imageCrc32 & SIM_VERSION_CRC_MASK)
               : SIM_VERSION_MAIN;
}

PropertyValue propertyValue(const SimDovel* dovel, int property) {
    const bool monitor = dovel->mode == SIM_MODE_MONITOR;
    switch (property) {
        case SIM_PROP_VERS:
            return {monitor ? SIM_VERSION_MONITOR : mainVersion(dovel), 2};
        case SIM_PROP_ROLE:
            return {dovel->ramRole, 2};
        case SIM_PROP_ID:
            return {dovel->node, 1};
        case SIM_PROP_STATUS:
            return {monitor ? SIM_STATUS_MONITOR : SIM_STATUS_MAIN, 1};
        default:
            return {0, 1};  // a property it does not have still reads, as 0
    }
}

void answerGet(SimHand* hand, SimDovel* dovel, int property, int64_t atUs) {
    SimDovelFaults* faults = &dovel->faults;
    if (property == SIM_PROP_ID && faults->statusOnIdQuery && !dovel->statusSent) {
        // The query failed on the bus: the adapter says so, the controller heard nothing.
        dovel->statusSent = true;
        simPostStatusMessage(hand, SIM_STATUS_MESSAGE_DATA3, atUs);
        return;
    }
    PropertyValue value = propertyValue(dovel, property);
    int64_t readyUs = atUs + simStepUs(hand, SIM_REPLY_DELAY_US);
    uint8_t hostLen = 0;
    if (property == SIM_PROP_ID) {
        if (faults->crazyId && !dovel->crazyIdSent) {
            dovel->crazyIdSent = true;
            value.value = SIM_CRAZY_ID;
        }
        if (faults->slowIdReplyMs != SIM_FAULT_OFF) {
            readyUs = atUs + static_cast<int64_t>(faults->slowIdReplyMs) * US_PER_MS;
        }
    }
    const CanFrame reply = hand->options.packed[property]
                               ? packedReply(dovel, value.value)
                               : littleEndianReply(dovel, property, value);
    if (property == SIM_PROP_ROLE && faults->longLenRoleReply && !dovel->longLenSent) {
        dovel->longLenSent = true;
        hostLen = SIM_LONG_LEN;
    }
    send(hand, dovel, &reply, readyUs, hostLen ? hostLen : reply.LEN);
}

void resetDownload(SimDovel* dovel) {
    dovel->downloading = false;
    dovel->takingCharacter = false;
    dovel->fifo.count = 0;
    dovel->record.count = 0;
    dovel->record.length = 0;
}

void startReset(SimHand* hand, SimDovel* dovel, int64_t atUs) {
    ++dovel->resets;
    dovel->mode = SIM_MODE_RESETTING;
    dovel->unlocked = false;
    dovel->unlockWordsMatched = 0;
    dovel->busyUntilUs = 0;
    resetDownload(dovel);
    dovel->event = SIM_EVENT_BOOT;
    dovel->eventUs = atUs + simStepUs(hand, SIM_RESET_US);
    // What it had not yet sent dies with the reset.
    simDropWaitingFrames(hand, sender(hand, dovel));
}

void boot(SimDovel* dovel) {
    dovel->ramRole = dovel->storedRole;
    const bool monitor =
        (dovel->storedRole & SIM_ROLE_CODE_MASK) == 0 || dovel->image == SIM_IMAGE_REFUSED;
    dovel->mode = monitor ? SIM_MODE_MONITOR : SIM_MODE_MAIN;
    dovel->event = SIM_EVENT_NONE;
}

void startDownload(SimHand* hand, SimDovel* dovel, int64_t atUs) {
    resetDownload(dovel);
    dovel->flash.clear();
    dovel->charactersTaken = 0;
    dovel->charactersLost = 0;
    dovel->records = 0;
    dovel->badRecords = 0;
    dovel->image = SIM_IMAGE_INCOMPLETE;
    dovel->downloading = true;
    dovel->downloadComplete = false;
    dovel->takingCharacter = true;  // not ready before the flash is erased
    dovel->event = SIM_EVENT_DOWNLOAD_READY;
    const int eraseMs = dovel->faults.eraseMs;
    dovel->eventUs = atUs + (eraseMs != SIM_FAULT_OFF ? static_cast<int64_t>(eraseMs) * US_PER_MS
                                                      : simStepUs(hand, SIM_DOWNLOAD_PREPARE_US));
    if (dovel->faults.readErrorAfterCharacters == 0 && !dovel->readErrorSent) {
        dovel->readErrorSent = true;
        simArmReadError(hand);
    }
    simStateChanged(hand);
}

void writeRecord(SimDovel* dovel, const TekRecord* record) {
    if (record->address + static_cast<uint64_t>(record->dataLength) > SIM_FLASH_BYTES) {
        ++dovel->badRecords;
        return;
    }
    for (int i = 0; i < record->dataLength; ++i) {
        dovel->flash[static_cast<uint32_t>(record->address) + static_cast<uint32_t>(i)] =
            record->data[i];
    }
    ++dovel->records;
}

void finishRecord(SimDovel* dovel) {
    TekRecord record{};
    if (tekParseRecord(dovel->record.chars, dovel->record.count, &record) != 0) {
        ++dovel->badRecords;
    } else if (record.type == TEK_TYPE_TERMINATION) {
        dovel->downloading = false;
        dovel->downloadComplete = true;
    } else if (record.type == TEK_TYPE_DATA) {  // a symbol record is skipped
        writeRecord(dovel, &record);
    }
    dovel->record.count = 0;
    dovel->record.length = 0;
}

// The record buffer never holds more than a length field can announce, so no byte
// stream makes it grow.
void parseCharacter(SimDovel* dovel, uint8_t c) {
    SimRecordBuffer* record = &dovel->record;
    record->chars[record->count++] = static_cast<char>(c);
    if (record->count == TEK_LENGTH_CHARS) {
        record->length = tekRecordLength(record->chars);
        if (record->length < TEK_MIN_RECORD_CHARS) {
            // No record is that short: these two characters are a bad record of their own.
            ++dovel->badRecords;
            record->count = 0;
            record->length = 0;
            return;
        }
    }
    if (record->length > 0 && record->count == record->length) {
        finishRecord(dovel);
    }
}

// The flash has changed: the state file follows once every few records, and when the
// image is whole.
void flashWritten(SimHand* hand, SimDovel* dovel, int recordsBefore) {
    if (dovel->downloadComplete) {
        // A monitor checks what it received before it will start it.
        const bool refused = dovel->flash.empty() || dovel->badRecords > 0;
        dovel->image = refused ? SIM_IMAGE_REFUSED : SIM_IMAGE_COMPLETE;
        dovel->imageCrc32 = simFlashCrc32(dovel->flash);
        simStateChanged(hand);
    } else if (dovel->records != recordsBefore &&
               dovel->records % SIM_STATE_RECORDS_PER_WRITE == 0) {
        simStateChanged(hand);
    }
}

void takeCharacter(SimHand* hand, SimDovel* dovel, uint8_t c, int64_t atUs) {
    dovel->takingCharacter = true;
    ++dovel->charactersTaken;
    const int recordsBefore = dovel->records;
    parseCharacter(dovel, c);
    flashWritten(hand, dovel, recordsBefore);
    if (dovel->charactersTaken == dovel->faults.readErrorAfterCharacters && !dovel->readErrorSent) {
        dovel->readErrorSent = true;
        simArmReadError(hand);
    }
    const SimDovelFaults* faults = &dovel->faults;
    if (faults->stallRecoverMs != SIM_FAULT_OFF && !dovel->stallSpent &&
        dovel->charactersTaken > faults->stallAfterCharacters) {
        dovel->stallSpent = true;
        dovel->hung = true;
        dovel->event = SIM_EVENT_STALL_OVER;
        dovel->eventUs = atUs + static_cast<int64_t>(faults->stallRecoverMs) * US_PER_MS;
        return;
    }
    dovel->event = SIM_EVENT_CHARACTER_DONE;
    const int delayUs = faults->characterDelayUs;
    dovel->eventUs =
        atUs + (delayUs != SIM_FAULT_OFF ? delayUs : simStepUs(hand, SIM_CHARACTER_TAKE_US));
}

// "Ready for the next character": the characters taken so far, as a VERS reply; or, with
// ready=id, always the same ID reply.
void sendDownloadReply(SimHand* hand, SimDovel* dovel, int64_t atUs) {
    const int stallAfter = dovel->faults.stallAfterCharacters;
    if (stallAfter != SIM_FAULT_OFF && dovel->faults.stallRecoverMs == SIM_FAULT_OFF &&
        dovel->charactersTaken > stallAfter) {
        return;
    }
    CanFrame reply = hand->options.readyAsId
                         ? littleEndianReply(dovel, SIM_PROP_ID, {dovel->node, 1})
                         : littleEndianReply(dovel, SIM_PROP_VERS, {dovel->charactersTaken, 2});
    if (hand->options.sharedReplyId) {
        reply.ID = SIM_SHARED_REPLY_ID;
    } else if (dovel->faults.replyIdChange && dovel->charactersTaken > 0) {
        reply.ID = SIM_CHANGED_REPLY_ID_BASE | static_cast<uint32_t>(dovel->node);
    }
    send(hand, dovel, &reply, atUs, reply.LEN);
}

}  // namespace

void dovelStrayReady(SimHand* hand, SimDovel* dovel, const CanFrame* frame, int64_t atUs) {
    const bool startRequest = frame->LEN >= SET_REQUEST_MIN_LEN &&
                              frame->DATA[0] == (SET_FLAG | SIM_PROP_VERS) &&
                              setValue(frame) == SIM_DOWNLOAD_START;
    if (dovel->faults.strayForNode != static_cast<int>(frame->ID) || !startRequest ||
        dovel->straySent || dovel->mode != SIM_MODE_MONITOR || dovel->hung) {
        return;
    }
    dovel->straySent = true;
    CanFrame ready = littleEndianReply(dovel, SIM_PROP_VERS, {dovel->charactersTaken, 2});
    send(hand, dovel, &ready, atUs + simStepUs(hand, SIM_REPLY_DELAY_US), ready.LEN);
}

namespace {

void takeNextOrWait(SimHand* hand, SimDovel* dovel, int64_t atUs) {
    dovel->event = SIM_EVENT_NONE;
    if (!dovel->downloading) {
        // Characters behind the termination record belong to no download.
        dovel->fifo.count = 0;
        dovel->takingCharacter = false;
        return;
    }
    if (dovel->fifo.count == 0) {
        dovel->takingCharacter = false;
        return;
    }
    const uint8_t c = dovel->fifo.chars[0];
    --dovel->fifo.count;
    std::memmove(dovel->fifo.chars, dovel->fifo.chars + 1, static_cast<size_t>(dovel->fifo.count));
    takeCharacter(hand, dovel, c, atUs);
}

void receiveCharacter(SimHand* hand, SimDovel* dovel, uint8_t c, int64_t atUs) {
    if (!dovel->takingCharacter) {
        takeCharacter(hand, dovel, c, atUs);
    } else if (dovel->fifo.count < hand->options.rxBuffer) {
        dovel->fifo.chars[dovel->fifo.count++] = c;
    } else {
        ++dovel->charactersLost;
    }
}

void handleSet(SimHand* hand, SimDovel* dovel, const CanFrame* frame, int64_t atUs) {
    const int property = frame->DATA[0] & PROPERTY_MASK;
    if (frame->LEN < SET_REQUEST_MIN_LEN) {
        breakUnlock(dovel);
        return;
    }
    const uint16_t value = setValue(frame);
    if (property == unlockProperty(dovel)) {
        takeUnlockWord(dovel, value);
        return;
    }
    breakUnlock(dovel);
    switch (property) {
        case SIM_PROP_ROLE:
            if (dovel->unlocked && !dovel->faults.roleStuck) {
                dovel->ramRole = value;
            }
            break;
        case SIM_PROP_STORE:
            if (value == SIM_STORE_ROLE) {
                dovel->storedRole = dovel->ramRole;
                ++dovel->stores;
                dovel->busyUntilUs = atUs + simStepUs(hand, SIM_STORE_BUSY_US);
                simStateChanged(hand);
            }
            break;
        case SIM_PROP_STATUS:
            if (value == SIM_STATUS_RESET) {
                startReset(hand, dovel, atUs);
                simStateChanged(hand);
            }
            break;
        case SIM_PROP_VERS:
            if (value == SIM_DOWNLOAD_START && dovel->mode == SIM_MODE_MONITOR) {
                startDownload(hand, dovel, atUs);
            }
            break;
        default:
            break;
    }
}

}  // namespace

void dovelInit(SimDovel* dovel, int node, const SimDovelFaults* faults, uint16_t storedRole) {
    *dovel = SimDovel{};
    dovel->node = node;
    dovel->faults = *faults;
    dovel->storedRole = storedRole;
    boot(dovel);
}

void dovelPowerUp(SimDovel* dovel) {
    dovel->unlocked = false;
    dovel->unlockWordsMatched = 0;
    dovel->busyUntilUs = 0;
    dovel->hung = false;
    resetDownload(dovel);
    boot(dovel);
}

bool dovelDamaged(const SimDovel* dovel) {
    return dovel->mode == SIM_MODE_MAIN && dovel->image == SIM_IMAGE_INCOMPLETE;
}

void dovelReceive(SimHand* hand, SimDovel* dovel, const CanFrame* frame, int64_t atUs) {
    if (frame->TYPE != FRAME_TYPE_STANDARD) {
        return;
    }
    if (dovel->mode == SIM_MODE_RESETTING || dovel->hung || dovelDamaged(dovel) ||
        atUs < dovel->busyUntilUs) {
        ++dovel->framesIgnored;
        return;
    }
    if (dovel->downloading && frame->LEN == CHARACTER_LEN) {
        breakUnlock(dovel);
        receiveCharacter(hand, dovel, frame->DATA[0], atUs);
        return;
    }
    if (frame->LEN == 0) {
        breakUnlock(dovel);
        return;
    }
    if (frame->DATA[0] & SET_FLAG) {
        handleSet(hand, dovel, frame, atUs);
    } else {
        breakUnlock(dovel);
        answerGet(hand, dovel, frame->DATA[0] & PROPERTY_MASK, atUs);
    }
}

void dovelRunEvent(SimHand* hand, SimDovel* dovel) {
    const int64_t atUs = dovel->eventUs;
    switch (dovel->event) {
        case SIM_EVENT_BOOT:
            boot(dovel);
            break;
        case SIM_EVENT_DOWNLOAD_READY:
        case SIM_EVENT_CHARACTER_DONE:
            sendDownloadReply(hand, dovel, atUs);
            takeNextOrWait(hand, dovel, atUs);
            break;
        case SIM_EVENT_STALL_OVER:
            // It lost what came while it hung: the stream is broken, the download over.
            dovel->hung = false;
            dovel->event = SIM_EVENT_NONE;
            resetDownload(dovel);
            break;
        case SIM_EVENT_NONE:
            break;
    }
}
