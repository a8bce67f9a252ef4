// Reads .mqo text files as modellers save them: line by line, each line recognised
// by its first word; chunks this reader does not use are skipped by brace depth, and
// text inside quotes is never taken for a keyword or a brace.
#include "model/model.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// One line of the file, whole: the buffer grows to the longest line read so far.
struct ModelLine {
    char* text = nullptr;
    size_t capacity = 0;
    ModelLine() = default;
    ModelLine(const ModelLine&) = delete;
    ModelLine& operator=(const ModelLine&) = delete;
    ~ModelLine() { std::free(text); }
};

// Reads the next line without its line end (LF or CR LF). Returns false at the end
// of the stream, which also ends any chunk being read; a line that cannot be held
// (memory) ends the stream the same way.
bool modelReadLine(FILE* fp, ModelLine* line)
{
    ssize_t n = getline(&line->text, &line->capacity, fp);
    if (n < 0) return false;
    while (n > 0 && (line->text[n - 1] == '\n' || line->text[n - 1] == '\r')) --n;
    line->text[n] = '\0';
    return true;
}

const char* modelSkipBlanks(const char* s)
{
    while (*s == ' ' || *s == '\t') ++s;
    return s;
}

bool modelIsWordChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

size_t modelWordLength(const char* s)
{
    size_t n = 0;
    while (modelIsWordChar(s[n])) ++n;
    return n;
}

// The first word of a line (after blanks): its start in *word and its length.
size_t modelFirstWord(const char* line, const char** word)
{
    *word = modelSkipBlanks(line);
    return modelWordLength(*word);
}

bool modelWordIs(const char* word, size_t length, const char* keyword)
{
    return std::strlen(keyword) == length && std::strncmp(word, keyword, length) == 0;
}

bool modelChunkEnds(const char* line)
{
    return *modelSkipBlanks(line) == '}';
}

// Braces opened minus braces closed on the line, outside double quotes.
int modelBraceBalance(const char* s)
{
    bool quoted = false;
    int depth = 0;
    for (; *s != '\0'; ++s) {
        if (*s == '"')
            quoted = !quoted;
        else if (!quoted && *s == '{')
            ++depth;
        else if (!quoted && *s == '}')
            --depth;
    }
    return depth;
}

// Skips the rest of a chunk that is `depth` braces deep.
void modelSkipChunk(FILE* fp, int depth)
{
    ModelLine line;
    while (depth > 0 && modelReadLine(fp, &line)) depth += modelBraceBalance(line.text);
}

// The integer after a line's first word, or `otherwise` when none follows.
int modelIntAfterWord(const char* word, size_t length, int otherwise)
{
    char* end = nullptr;
    const long value = std::strtol(word + length, &end, 10);
    if (end == word + length) return otherwise;
    if (value < INT32_MIN) return INT32_MIN;
    return value > INT32_MAX ? INT32_MAX : static_cast<int>(value);
}

// Up to `count` numbers from s into out; stops at the first text that is not one.
// Returns how many were read.
int modelScanFloats(const char* s, float* out, int count)
{
    int n = 0;
    for (; n < count; ++n) {
        char* end = nullptr;
        const float v = std::strtof(s, &end);
        if (end == s) break;
        out[n] = v;
        s = end;
    }
    return n;
}

int modelScanInts(const char* s, int* out, int count)
{
    int n = 0;
    for (; n < count; ++n) {
        char* end = nullptr;
        const long v = std::strtol(s, &end, 10);
        if (end == s) break;
        out[n] = v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : static_cast<int>(v);
        s = end;
    }
    return n;
}

// Copies the text between the first pair of double quotes at or after s into name
// (cut to kModelNameSize - 1 characters); returns the position after the closing
// quote (the end of the line when it is missing), or s when there is no quote.
const char* modelQuotedName(const char* s, char name[kModelNameSize])
{
    name[0] = '\0';
    const char* open = std::strchr(s, '"');
    if (open == nullptr) return s;
    const char* close = std::strchr(open + 1, '"');
    const size_t length =
        close != nullptr ? static_cast<size_t>(close - open - 1) : std::strlen(open + 1);
    const size_t kept = length < kModelNameSize - 1 ? length : kModelNameSize - 1;
    std::memcpy(name, open + 1, kept);
    name[kept] = '\0';
    return close != nullptr ? close + 1 : open + 1 + length;
}

// One "name(values)" field of a material or face line.
struct ModelField {
    const char* name;
    size_t nameLength;
    const char* values;  // just after '('; not terminated at ')'
    bool quoted;         // values hold a quoted text: valueLength is its length
    size_t valueLength;
};

// The next field from *p, advancing *p past it; false at the end of the line. A
// quoted value runs to the first '"' directly followed by ')', so that a file name
// may hold quotes and parentheses; one without that end ends the line's fields.
// Text that is no field (a stray word or character) is stepped over.
bool modelNextField(const char** p, ModelField* field)
{
    const char* s = *p;
    for (;;) {
        s = modelSkipBlanks(s);
        if (*s == '\0') return false;
        const size_t length = modelWordLength(s);
        if (length == 0 || s[length] != '(') {
            s += length == 0 ? 1 : length;
            continue;
        }
        field->name = s;
        field->nameLength = length;
        field->values = s + length + 1;
        field->quoted = field->values[0] == '"';
        if (field->quoted) {
            const char* end = std::strstr(field->values + 1, "\")");
            if (end == nullptr) return false;
            field->valueLength = static_cast<size_t>(end - field->values - 1);
            *p = end + 2;
        } else {
            const char* end = std::strchr(field->values, ')');
            field->valueLength = 0;
            *p = end != nullptr ? end + 1 : field->values + std::strlen(field->values);
        }
        return true;
    }
}

bool modelFieldIs(const ModelField& field, const char* name)
{
    return modelWordIs(field.name, field.nameLength, name);
}

// A header count as a table size: negative counts are empty, huge ones clamped, so
// that a corrupt header cannot ask for more than the cap.
int modelClampCount(int count, int cap)
{
    if (count < 0) return 0;
    return count > cap ? cap : count;
}

// Zeroed table of count entries, nullptr (and count 0) when empty or not allocatable.
template <typename T>
T* modelAllocTable(int* count)
{
    if (*count <= 0) {
        *count = 0;
        return nullptr;
    }
    T* table = static_cast<T*>(std::calloc(static_cast<size_t>(*count), sizeof(T)));
    if (table == nullptr) *count = 0;
    return table;
}

void modelScaleColour(float out[4], float factor, const float colour[4])
{
    for (int i = 0; i < 4; ++i) out[i] = factor * colour[i];
}

void modelParseMaterial(const char* line, ModelMaterial* m)
{
    // Defaults for every field the line does not give: a plain white material.
    float c[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    float dif = 1.0f, amb = 0.0f, emi = 0.0f, spc = 0.0f, power = 0.0f;
    m->hasTexture = 0;
    m->textureFile[0] = '\0';
    const char* p = modelSkipBlanks(line);
    if (*p == '"') p = modelQuotedName(p, m->name);
    ModelField field;
    while (modelNextField(&p, &field)) {
        if (modelFieldIs(field, "col")) {
            modelScanFloats(field.values, c, 4);
        } else if (modelFieldIs(field, "dif")) {
            modelScanFloats(field.values, &dif, 1);
        } else if (modelFieldIs(field, "amb")) {
            modelScanFloats(field.values, &amb, 1);
        } else if (modelFieldIs(field, "emi")) {
            modelScanFloats(field.values, &emi, 1);
        } else if (modelFieldIs(field, "spc")) {
            modelScanFloats(field.values, &spc, 1);
        } else if (modelFieldIs(field, "power")) {
            modelScanFloats(field.values, &power, 1);
        } else if (modelFieldIs(field, "tex") && field.quoted &&
                   field.valueLength < static_cast<size_t>(kModelNameSize)) {
            std::memcpy(m->textureFile, field.values + 1, field.valueLength);
            m->textureFile[field.valueLength] = '\0';
            m->hasTexture = 1;
        }
    }
    std::memcpy(m->colour, c, sizeof(c));
    modelScaleColour(m->diffuse, dif, c);
    modelScaleColour(m->ambient, amb, c);
    modelScaleColour(m->emission, emi, c);
    modelScaleColour(m->specular, spc, c);
    m->power = power;
    m->pixels = nullptr;
}

void modelParseFace(const char* line, ModelFace* f)
{
    char* end = nullptr;
    const char* start = modelSkipBlanks(line);
    std::strtol(start, &end, 10);
    if (modelScanInts(start, &f->vertexCount, 1) == 0) return;  // not drawn: 0 corners
    const bool drawable = f->vertexCount == 3 || f->vertexCount == 4;
    const char* p = end;
    ModelField field;
    while (modelNextField(&p, &field)) {
        if (modelFieldIs(field, "V") && drawable) {
            modelScanInts(field.values, f->vertexIndex, f->vertexCount);
        } else if (modelFieldIs(field, "M")) {
            modelScanInts(field.values, &f->material, 1);
        } else if (modelFieldIs(field, "UV") && drawable) {
            modelScanFloats(field.values, f->uv, 2 * f->vertexCount);
        }
    }
}

void modelReleaseObject(ModelObject* object)
{
    std::free(object->faces);
    std::free(object->vertices);
    object->faces = nullptr;
    object->vertices = nullptr;
    object->faceCount = 0;
    object->vertexCount = 0;
}

// A new zeroed vertex table for a chunk header `count`, replacing any earlier one (a
// second vertex chunk in one object replaces the first).
void modelNewVertexTable(ModelObject* object, int count)
{
    std::free(object->vertices);
    object->vertexCount = modelClampCount(count, kModelMaxVertices);
    object->vertices = modelAllocTable<ModelVertex>(&object->vertexCount);
}

float modelFloatLe(const unsigned char* b)
{
    const uint32_t u = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
    float f;
    std::memcpy(&f, &u, sizeof(f));
    return f;
}

// Reads `bytes` bytes of little-endian float triples into the object's vertices,
// from the stream's position; bytes beyond the table are read and dropped. Returns
// false when the stream ends first.
bool modelReadVectorBytes(FILE* fp, long bytes, ModelObject* object)
{
    unsigned char block[12 * 256];
    long done = 0;
    int vertex = 0;
    while (done < bytes) {
        const long want = bytes - done < static_cast<long>(sizeof(block))
                              ? bytes - done
                              : static_cast<long>(sizeof(block));
        const size_t got = std::fread(block, 1, static_cast<size_t>(want), fp);
        // Whole triples only: a block always holds a multiple of 12 unless it is the
        // last, and a trailing part triple is no vertex.
        for (size_t at = 0; at + 12 <= got && vertex < object->vertexCount; at += 12, ++vertex) {
            object->vertices[vertex] = {modelFloatLe(block + at), modelFloatLe(block + at + 4),
                                        modelFloatLe(block + at + 8)};
        }
        done += static_cast<long>(got);
        if (got < static_cast<size_t>(want)) return false;
    }
    return true;
}

// Skips blanks and line ends; returns the next character (EOF at the end).
int modelNextNonSpace(FILE* fp)
{
    int c;
    do c = std::fgetc(fp);
    while (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    return c;
}

// The binary data of a "Vector <bytes> [" line, whose word has been read: the count
// up to '[', the data right after it, then everything up to the closing ']'. A
// writer that puts a line end between '[' and the data is also read: when the data
// as read is not followed by ']', it is read again one line end later.
void modelReadVector(FILE* fp, ModelObject* object)
{
    long bytes = 0;
    bool digits = true;
    int c;
    while ((c = std::fgetc(fp)) != EOF && c != '[' && c != '\n') {
        if (c >= '0' && c <= '9' && digits && bytes < (1L << 40))
            bytes = bytes * 10 + (c - '0');
        else if (bytes > 0)
            digits = false;
    }
    if (c != '[') return;
    const long start = std::ftell(fp);
    if (modelReadVectorBytes(fp, bytes, object) && modelNextNonSpace(fp) == ']') return;
    if (start >= 0 && std::fseek(fp, start, SEEK_SET) == 0) {
        long skip = 0;
        c = std::fgetc(fp);
        if (c == '\r') c = std::fgetc(fp), ++skip;
        if (c == '\n') ++skip;
        if (skip > 0 && std::fseek(fp, start + skip, SEEK_SET) == 0 &&
            modelReadVectorBytes(fp, bytes, object) && modelNextNonSpace(fp) == ']')
            return;
        // Neither layout: look for the ']' after the data, not inside it.
        std::fseek(fp, start + bytes, SEEK_SET);
    }
    while ((c = std::fgetc(fp)) != EOF && c != ']') {}
}

// The lines of a chunk inside an object, `depth` braces deep, up to its closing
// brace: "Vector" blocks of binary data at its own level are read into the object's
// vertices (skipped when it has no table, and in nested chunks), so that no brace
// inside binary data is ever counted.
void modelReadBinaryChunk(FILE* fp, ModelObject* object, int depth)
{
    ModelLine rest;
    ModelObject none{};
    while (depth > 0) {
        int c = modelNextNonSpace(fp);
        if (c == EOF) return;
        char word[16];
        size_t length = 0;
        while (c != EOF && modelIsWordChar(static_cast<char>(c))) {
            if (length + 1 < sizeof(word)) word[length++] = static_cast<char>(c);
            c = std::fgetc(fp);
        }
        word[length] = '\0';
        if (c == EOF) return;
        std::ungetc(c, fp);
        if (std::strcmp(word, "Vector") == 0) {
            modelReadVector(fp, depth == 1 ? object : &none);
            continue;
        }
        if (!modelReadLine(fp, &rest)) return;
        if (length == 0 && *modelSkipBlanks(rest.text) == '}')
            --depth;
        else
            depth += modelBraceBalance(rest.text);
    }
}

// A "BVertex <count> {" chunk: its "Vector" block of binary floats; any other line
// is skipped (nested chunks by depth), up to the chunk's closing brace.
void modelReadBinaryVertexChunk(FILE* fp, int count, ModelObject* object)
{
    modelNewVertexTable(object, count);
    modelReadBinaryChunk(fp, object, 1);
}

// Replaces the file's material table with the chunk of the header `count` (the
// previous count when the header has none).
void modelReadMaterialChunk(FILE* fp, int count, ModelFile* file)
{
    count = modelClampCount(count, kModelMaxMaterials);
    ModelMaterial* table = modelAllocTable<ModelMaterial>(&count);
    modelReadMaterials(fp, table, count);
    std::free(file->materials);
    file->materials = table;
    file->materialCount = count;
    file->newMaterials = 1;
}

}  // namespace

void modelLoadFile(FILE* fp, ModelFile* file)
{
    modelReleaseObjects(file);
    file->newMaterials = 0;
    ModelLine line;
    while (modelReadLine(fp, &line)) {
        const char* word;
        const size_t length = modelFirstWord(line.text, &word);
        if (modelWordIs(word, length, "Material")) {
            modelReadMaterialChunk(fp, modelIntAfterWord(word, length, file->materialCount), file);
        } else if (modelWordIs(word, length, "Object")) {
            char name[kModelNameSize];
            modelQuotedName(word + length, name);
            ModelObject dropped{};
            const bool kept = file->objectCount < kModelMaxObjects;
            ModelObject* object = kept ? &file->objects[file->objectCount] : &dropped;
            modelReadObject(fp, object);
            std::memcpy(object->name, name, sizeof(name));
            if (kept)
                ++file->objectCount;
            else
                modelReleaseObject(&dropped);
        } else {
            const int depth = modelBraceBalance(line.text);
            if (depth > 0) modelSkipChunk(fp, depth);
        }
    }
}

void modelReadMaterials(FILE* fp, ModelMaterial* table, int count)
{
    ModelLine line;
    for (int n = 0; modelReadLine(fp, &line) && !modelChunkEnds(line.text); ++n) {
        if (n < count) modelParseMaterial(line.text, &table[n]);
    }
}

void modelReadObject(FILE* fp, ModelObject* object)
{
    *object = ModelObject{};
    object->visible = 1;
    object->mirrorAxis = 1;
    ModelLine line;
    while (modelReadLine(fp, &line) && !modelChunkEnds(line.text)) {
        const char* word;
        const size_t length = modelFirstWord(line.text, &word);
        if (modelWordIs(word, length, "visible")) {
            object->visible = modelIntAfterWord(word, length, object->visible);
        } else if (modelWordIs(word, length, "vertex")) {
            modelNewVertexTable(object, modelIntAfterWord(word, length, 0));
            modelReadVertices(fp, object->vertices, object->vertexCount);
        } else if (modelWordIs(word, length, "BVertex")) {
            modelReadBinaryVertexChunk(fp, modelIntAfterWord(word, length, 0), object);
        } else if (modelWordIs(word, length, "face")) {
            std::free(object->faces);
            object->faceCount = modelClampCount(modelIntAfterWord(word, length, 0), kModelMaxFaces);
            object->faces = modelAllocTable<ModelFace>(&object->faceCount);
            modelReadFaces(fp, object->faces, object->faceCount);
        } else if (modelWordIs(word, length, "mirror")) {
            object->mirror = modelIntAfterWord(word, length, 0);
        } else if (modelWordIs(word, length, "mirror_axis")) {
            object->mirrorAxis = modelIntAfterWord(word, length, 1);
        } else {
            // Chunks of other per-vertex data may hold binary blocks too (weights):
            // passed over block by block.
            ModelObject none{};
            const int depth = modelBraceBalance(line.text);
            if (depth > 0) modelReadBinaryChunk(fp, &none, depth);
        }
    }
}

void modelReadVertices(FILE* fp, ModelVertex* table, int count)
{
    ModelLine line;
    for (int n = 0; modelReadLine(fp, &line) && !modelChunkEnds(line.text); ++n) {
        if (n < count) {
            float xyz[3] = {0.0f, 0.0f, 0.0f};
            modelScanFloats(line.text, xyz, 3);
            table[n] = {xyz[0], xyz[1], xyz[2]};
        }
    }
}

void modelReadFaces(FILE* fp, ModelFace* table, int count)
{
    ModelLine line;
    for (int n = 0; modelReadLine(fp, &line) && !modelChunkEnds(line.text); ++n) {
        if (n < count) modelParseFace(line.text, &table[n]);
    }
}

int modelTexturePath(const char* modelPath, const char* textureFile, char path[kModelPathSize])
{
    path[0] = '\0';
    int written;
    if (std::strchr(textureFile, ':') != nullptr) {
        written = std::snprintf(path, kModelPathSize, "%s", textureFile);
    } else {
        // The directory ends at the rightmost separator of either kind.
        size_t dirLength = 0;
        for (size_t i = 0; modelPath[i] != '\0'; ++i) {
            if (modelPath[i] == '/' || modelPath[i] == '\\') dirLength = i + 1;
        }
        if (dirLength >= static_cast<size_t>(kModelPathSize)) return -1;
        written = std::snprintf(path, kModelPathSize, "%.*s%s", static_cast<int>(dirLength),
                                modelPath, textureFile);
    }
    if (written < 0 || written >= kModelPathSize) {
        path[0] = '\0';
        return -1;
    }
    return 0;
}

int modelBounds(const ModelFile* file, float min[3], float max[3])
{
    float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    bool any = false;
    for (int i = 0; i < file->objectCount; ++i) {
        const ModelObject& o = file->objects[i];
        if (o.visible == 0) continue;
        float olo[3] = {0, 0, 0}, ohi[3] = {0, 0, 0};
        bool objectAny = false;
        for (int j = 0; j < o.faceCount; ++j) {
            const ModelFace& f = o.faces[j];
            if (f.vertexCount != 3 && f.vertexCount != 4) continue;
            bool inRange = true;
            for (int c = 0; c < f.vertexCount; ++c)
                inRange = inRange && f.vertexIndex[c] >= 0 && f.vertexIndex[c] < o.vertexCount;
            if (!inRange) continue;
            for (int c = 0; c < f.vertexCount; ++c) {
                const ModelVertex& v = o.vertices[f.vertexIndex[c]];
                const float p[3] = {v.x, v.y, v.z};
                for (int a = 0; a < 3; ++a) {
                    olo[a] = objectAny && olo[a] < p[a] ? olo[a] : p[a];
                    ohi[a] = objectAny && ohi[a] > p[a] ? ohi[a] : p[a];
                }
                objectAny = true;
            }
        }
        if (!objectAny) continue;
        // A copy reflected in an axis spans the negated range on that axis.
        const int axes = o.mirror != 0 ? o.mirrorAxis & 7 : 0;
        for (int a = 0; a < 3; ++a) {
            if (((axes >> a) & 1) == 0) continue;
            const float l = olo[a], h = ohi[a];
            olo[a] = l < -h ? l : -h;
            ohi[a] = h > -l ? h : -l;
        }
        for (int a = 0; a < 3; ++a) {
            lo[a] = any && lo[a] < olo[a] ? lo[a] : olo[a];
            hi[a] = any && hi[a] > ohi[a] ? hi[a] : ohi[a];
        }
        any = true;
    }
    if (!any) return -1;
    for (int a = 0; a < 3; ++a) {
        min[a] = lo[a];
        max[a] = hi[a];
    }
    return 0;
}

void modelReleaseObjects(ModelFile* file)
{
    for (ModelObject& object : file->objects) modelReleaseObject(&object);
    file->objectCount = 0;
}

void modelReleaseFile(ModelFile* file)
{
    modelReleaseObjects(file);
    std::free(file->materials);
    file->materials = nullptr;
    file->materialCount = 0;
}
