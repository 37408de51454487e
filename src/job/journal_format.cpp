#include "job/journal_format.h"

#include <cstring>

namespace {

const unsigned char Magic[8] = {'F', 'A', '2', 'J', 'R', 'N', 'L', 0};

// FNV-1a: enough to tell a record that reached the disk whole from one that a power cut tore.
uint32_t BodyChecksum(const unsigned char* body, size_t length)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        hash ^= body[i];
        hash *= 16777619u;
    }
    return hash;
}

void PutU16(unsigned char* out, uint16_t value)
{
    out[0] = (unsigned char)value;
    out[1] = (unsigned char)(value >> 8);
}

void PutU32(unsigned char* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = (unsigned char)(value >> (8 * i));
}

void PutU64(unsigned char* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = (unsigned char)(value >> (8 * i));
}

uint32_t GetU32(const unsigned char* in)
{
    return (uint32_t)in[0] | ((uint32_t)in[1] << 8) | ((uint32_t)in[2] << 16) | ((uint32_t)in[3] << 24);
}

// Which fields a record type carries.
struct RecordShape {
    int paths;  // 0 to 3: path, staged, backup
    int hadOriginal;
    int attributes;
    int time;
    int wide;  // the UTF-16 target
};

int ShapeOf(JournalRecordType type, RecordShape* shape)
{
    *shape = RecordShape{0, 0, 0, 0, 0};
    switch (type) {
    case JournalFolderTime:
        *shape = RecordShape{1, 0, 0, 1, 0};
        return 1;
    case JournalCreateFolder:
    case JournalStaged:
        *shape = RecordShape{1, 0, 0, 0, 0};
        return 1;
    case JournalCommitBegins:
    case JournalCommitDone:
    case JournalCommitUndone:
        return 1;
    case JournalJob:
        *shape = RecordShape{2, 0, 0, 1, 0};
        return 1;
    case JournalReplace:
        *shape = RecordShape{3, 1, 0, 0, 0};
        return 1;
    case JournalReplaceWide:
        *shape = RecordShape{3, 1, 0, 0, 1};
        return 1;
    case JournalAttributes:
        *shape = RecordShape{1, 0, 1, 0, 0};
        return 1;
    }
    return 0;
}

const char* PathField(const JournalRecord& record, int index)
{
    return index == 0 ? record.path : index == 1 ? record.staged : record.backup;
}

char* PathField(JournalRecord* record, int index)
{
    return index == 0 ? record->path : index == 1 ? record->staged : record->backup;
}

// Bytes left to decode in a record body.
struct BodyCursor {
    const unsigned char* at;
    const unsigned char* end;
    int Take(size_t count)
    {
        return (size_t)(end - at) >= count;
    }
};

int DecodeText(BodyCursor* cursor, char* out)
{
    if (!cursor->Take(2))
        return 0;
    size_t length = (size_t)cursor->at[0] | ((size_t)cursor->at[1] << 8);
    cursor->at += 2;
    if (length >= JournalPathSize || !cursor->Take(length) || memchr(cursor->at, 0, length))
        return 0;
    memcpy(out, cursor->at, length);
    out[length] = '\0';
    cursor->at += length;
    return 1;
}

size_t WideLength(const uint16_t* text)
{
    size_t length = 0;
    while (length < JournalPathSize && text[length])
        ++length;
    return length;
}

int DecodeWide(BodyCursor* cursor, uint16_t* out)
{
    if (!cursor->Take(2))
        return 0;
    size_t length = (size_t)cursor->at[0] | ((size_t)cursor->at[1] << 8);
    cursor->at += 2;
    if (length >= JournalPathSize || !cursor->Take(2 * length))
        return 0;
    for (size_t i = 0; i < length; ++i) {
        out[i] = (uint16_t)(cursor->at[2 * i] | (cursor->at[2 * i + 1] << 8));
        if (!out[i])
            return 0;
    }
    out[length] = 0;
    cursor->at += 2 * length;
    return 1;
}

int DecodeBody(const unsigned char* body, size_t length, JournalRecord* record)
{
    memset(record, 0, sizeof *record);
    BodyCursor cursor{body, body + length};
    RecordShape shape;
    if (!cursor.Take(1) || !ShapeOf((JournalRecordType)body[0], &shape))
        return 0;
    record->type = (JournalRecordType)body[0];
    cursor.at += 1;
    for (int i = 0; i < shape.paths; ++i)
        if (!DecodeText(&cursor, PathField(record, i)))
            return 0;
    if (shape.hadOriginal) {
        if (!cursor.Take(1) || cursor.at[0] > 1)
            return 0;
        record->hadOriginal = cursor.at[0];
        cursor.at += 1;
    }
    if (shape.attributes) {
        if (!cursor.Take(8))
            return 0;
        record->oldAttributes = GetU32(cursor.at);
        record->newAttributes = GetU32(cursor.at + 4);
        cursor.at += 8;
    }
    if (shape.time) {
        if (!cursor.Take(8))
            return 0;
        record->time = (uint64_t)GetU32(cursor.at) | ((uint64_t)GetU32(cursor.at + 4) << 32);
        cursor.at += 8;
    }
    if (shape.wide && !DecodeWide(&cursor, record->wideTarget))
        return 0;
    return cursor.at == cursor.end;  // nothing may be left over
}

}  // namespace

void EncodeJournalHeader(unsigned char* out)
{
    memcpy(out, Magic, sizeof Magic);
    PutU32(out + sizeof Magic, JournalVersion);
}

size_t JournalRecordSize(const JournalRecord& record)
{
    RecordShape shape;
    if (!ShapeOf(record.type, &shape))
        return 0;
    size_t body = 1;
    for (int i = 0; i < shape.paths; ++i) {
        size_t length = strnlen(PathField(record, i), JournalPathSize);
        if (length >= JournalPathSize)
            return 0;
        body += 2 + length;
    }
    body += (size_t)shape.hadOriginal + 8 * (size_t)shape.attributes + 8 * (size_t)shape.time;
    if (shape.wide) {
        size_t length = WideLength(record.wideTarget);
        if (length >= JournalPathSize)
            return 0;
        body += 2 + 2 * length;
    }
    return 4 + body + 4;
}

size_t EncodeJournalRecord(const JournalRecord& record, unsigned char* out)
{
    size_t size = JournalRecordSize(record);
    if (size == 0)
        return 0;
    RecordShape shape;
    ShapeOf(record.type, &shape);
    unsigned char* body = out + 4;
    unsigned char* p = body;
    *p++ = record.type;
    for (int i = 0; i < shape.paths; ++i) {
        const char* text = PathField(record, i);
        size_t length = strlen(text);
        PutU16(p, (uint16_t)length);
        memcpy(p + 2, text, length);
        p += 2 + length;
    }
    if (shape.hadOriginal)
        *p++ = record.hadOriginal ? 1 : 0;
    if (shape.attributes) {
        PutU32(p, record.oldAttributes);
        PutU32(p + 4, record.newAttributes);
        p += 8;
    }
    if (shape.time) {
        PutU64(p, record.time);
        p += 8;
    }
    if (shape.wide) {
        size_t length = WideLength(record.wideTarget);
        PutU16(p, (uint16_t)length);
        for (size_t i = 0; i < length; ++i)
            PutU16(p + 2 + 2 * i, record.wideTarget[i]);
        p += 2 + 2 * length;
    }
    size_t bodyLength = (size_t)(p - body);
    PutU32(out, (uint32_t)bodyLength);
    PutU32(p, BodyChecksum(body, bodyLength));
    return size;
}

JournalHeaderState ReadJournalHeader(const unsigned char* bytes, size_t size)
{
    if (size == 0)
        return JournalHeaderTorn;  // killed before its header was written
    unsigned char header[JournalHeaderSize];
    EncodeJournalHeader(header);
    if (size < JournalHeaderSize)
        return memcmp(bytes, header, size) == 0 ? JournalHeaderTorn : JournalHeaderForeign;
    if (memcmp(bytes, header, sizeof Magic) != 0)
        return JournalHeaderForeign;
    return memcmp(bytes, header, JournalHeaderSize) == 0 ? JournalHeaderValid : JournalHeaderOtherVersion;
}

void StartJournalReader(JournalReader* reader, const unsigned char* bytes, size_t size)
{
    reader->bytes = bytes;
    reader->size = size;
    reader->at = size < JournalHeaderSize ? size : JournalHeaderSize;
}

int NextJournalRecord(JournalReader* reader, JournalRecord* record)
{
    size_t left = reader->size - reader->at;
    if (left < 4)
        return 0;
    const unsigned char* start = reader->bytes + reader->at;
    uint32_t bodyLength = GetU32(start);
    if (bodyLength == 0 || bodyLength > JournalRecordMaxSize - 8 || left - 4 < (size_t)bodyLength + 4)
        return 0;
    const unsigned char* body = start + 4;
    if (GetU32(body + bodyLength) != BodyChecksum(body, bodyLength) || !DecodeBody(body, bodyLength, record)) {
        reader->at = reader->size;  // torn: nothing after it counts
        return 0;
    }
    reader->at += 4 + (size_t)bodyLength + 4;
    return 1;
}

int IsJournalPlanRecord(JournalRecordType type)
{
    return type != JournalCommitBegins && type != JournalCommitDone && type != JournalCommitUndone;
}

size_t CopyJournalSeal(const unsigned char* bytes, size_t size, unsigned char* out)
{
    if (ReadJournalHeader(bytes, size) != JournalHeaderValid)
        return 0;
    memcpy(out, bytes, JournalHeaderSize);
    size_t length = JournalHeaderSize;
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes, size);
    for (size_t at = reader.at; NextJournalRecord(&reader, &record); at = reader.at) {
        if (!IsJournalPlanRecord(record.type))
            continue;
        memcpy(out + length, bytes + at, reader.at - at);
        length += reader.at - at;
    }
    return length;
}

int JournalWithinSeal(const unsigned char* journal, size_t journalSize, const unsigned char* seal, size_t sealSize)
{
    JournalReader sealed, reader;
    JournalRecord record;
    if (ReadJournalHeader(seal, sealSize) != JournalHeaderValid)
        return 0;
    StartJournalReader(&sealed, seal, sealSize);
    if (!NextJournalRecord(&sealed, &record) || record.type != JournalJob)
        return 0;
    sealed.at = JournalHeaderSize;
    JournalHeaderState header = ReadJournalHeader(journal, journalSize);
    if (header == JournalHeaderTorn)
        return 1;
    if (header != JournalHeaderValid)
        return 0;
    StartJournalReader(&reader, journal, journalSize);
    for (size_t at = reader.at; NextJournalRecord(&reader, &record); at = reader.at) {
        if (!IsJournalPlanRecord(record.type))
            continue;
        size_t length = reader.at - at, sealedAt = sealed.at;
        if (!NextJournalRecord(&sealed, &record) || sealed.at - sealedAt != length ||
            memcmp(seal + sealedAt, journal + at, length) != 0)
            return 0;
    }
    return 1;
}
