// Reads the subset of the .mqo text format the viewer draws: the material chunk and,
// per object, its visibility, vertices and faces. Recognition is by substring, line by
// line; the only structure followed is the closing brace of the current chunk.
#include "model/model.h"

#include <cstdlib>
#include <cstring>

namespace {

// Reads the next line (at most kModelLineSize - 1 characters) into line. Returns
// false at the end of the stream, which also ends any chunk being read.
bool modelReadLine(FILE* fp, char line[kModelLineSize])
{
    return std::fgets(line, kModelLineSize, fp) != nullptr;
}

bool modelChunkEnds(const char* line)
{
    return std::strchr(line, '}') != nullptr;
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

// The texture name: from 5 characters past "tex(" (past the keyword and its opening
// quote) to the first '"' directly followed by ')'. A line cut before that has no
// texture rather than a truncated name that might name another file.
void modelParseTexture(const char* line, ModelMaterial* m)
{
    m->hasTexture = 0;
    m->textureFile[0] = '\0';
    const char* tex = std::strstr(line, "tex(");
    if (tex == nullptr || tex[4] == '\0') return;
    const char* name = tex + 5;
    const char* end = std::strstr(name, "\")");
    if (end == nullptr) return;
    size_t length = static_cast<size_t>(end - name);
    if (length >= static_cast<size_t>(kModelNameSize)) return;
    std::memcpy(m->textureFile, name, length);
    m->textureFile[length] = '\0';
    m->hasTexture = 1;
}

void modelParseMaterial(const char* line, ModelMaterial* m)
{
    // Defaults for whatever the scan does not reach: a plain white material.
    float c[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    float dif = 1.0f, amb = 0.0f, emi = 0.0f, spc = 0.0f, power = 0.0f;
    if (const char* col = std::strstr(line, "col(")) {
        std::sscanf(col, "col(%f %f %f %f) dif(%f) amb(%f) emi(%f) spc(%f) power(%f)", &c[0], &c[1],
                    &c[2], &c[3], &dif, &amb, &emi, &spc, &power);
    }
    std::memcpy(m->colour, c, sizeof(c));
    modelScaleColour(m->diffuse, dif, c);
    modelScaleColour(m->ambient, amb, c);
    modelScaleColour(m->emission, emi, c);
    modelScaleColour(m->specular, spc, c);
    m->power = power;
    modelParseTexture(line, m);
    m->pixels = nullptr;
}

void modelParseFace(const char* line, ModelFace* f)
{
    std::sscanf(line, "%d", &f->vertexCount);
    const bool drawable = f->vertexCount == 3 || f->vertexCount == 4;
    if (const char* v = std::strstr(line, "V("); v != nullptr && drawable) {
        int* i = f->vertexIndex;
        if (f->vertexCount == 3)
            std::sscanf(v, "V(%d %d %d)", &i[0], &i[1], &i[2]);
        else
            std::sscanf(v, "V(%d %d %d %d)", &i[0], &i[1], &i[2], &i[3]);
    }
    f->material = 0;
    if (const char* m = std::strstr(line, "M(")) std::sscanf(m, "M(%d)", &f->material);
    if (const char* t = std::strstr(line, "UV("); t != nullptr && drawable) {
        float* u = f->uv;
        if (f->vertexCount == 3) {
            std::sscanf(t, "UV(%f %f %f %f %f %f)", &u[0], &u[1], &u[2], &u[3], &u[4], &u[5]);
        } else {
            std::sscanf(t, "UV(%f %f %f %f %f %f %f %f)", &u[0], &u[1], &u[2], &u[3], &u[4], &u[5],
                        &u[6], &u[7]);
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

// A second vertex or face chunk in one object replaces the first.
void modelReadVertexChunk(FILE* fp, const char* line, ModelObject* object)
{
    int count = 0;
    std::sscanf(line, " vertex %d", &count);
    std::free(object->vertices);
    object->vertexCount = modelClampCount(count, kModelMaxVertices);
    object->vertices = modelAllocTable<ModelVertex>(&object->vertexCount);
    modelReadVertices(fp, object->vertices, object->vertexCount);
}

void modelReadFaceChunk(FILE* fp, const char* line, ModelObject* object)
{
    int count = 0;
    std::sscanf(line, " face %d", &count);
    std::free(object->faces);
    object->faceCount = modelClampCount(count, kModelMaxFaces);
    object->faces = modelAllocTable<ModelFace>(&object->faceCount);
    modelReadFaces(fp, object->faces, object->faceCount);
}

// Replaces the file's material table with the chunk that starts at `line`. A line
// that holds "Material" without starting with it keeps the previous count.
void modelReadMaterialChunk(FILE* fp, const char* line, ModelFile* file)
{
    int count = file->materialCount;
    std::sscanf(line, "Material %d", &count);
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
    char line[kModelLineSize];
    while (modelReadLine(fp, line)) {
        if (std::strstr(line, "Material") != nullptr) modelReadMaterialChunk(fp, line, file);
        if (std::strstr(line, "Object") == nullptr) continue;
        if (file->objectCount < kModelMaxObjects) {
            modelReadObject(fp, &file->objects[file->objectCount]);
            ++file->objectCount;
        } else {
            ModelObject dropped{};
            modelReadObject(fp, &dropped);
            modelReleaseObject(&dropped);
        }
    }
}

void modelReadMaterials(FILE* fp, ModelMaterial* table, int count)
{
    char line[kModelLineSize];
    for (int n = 0; modelReadLine(fp, line) && !modelChunkEnds(line); ++n) {
        if (n < count) modelParseMaterial(line, &table[n]);
    }
}

void modelReadObject(FILE* fp, ModelObject* object)
{
    *object = ModelObject{};
    object->visible = 1;
    char line[kModelLineSize];
    while (modelReadLine(fp, line) && !modelChunkEnds(line)) {
        if (std::strstr(line, "visible ") != nullptr)
            std::sscanf(line, " visible %d", &object->visible);
        if (std::strstr(line, "vertex ") != nullptr) modelReadVertexChunk(fp, line, object);
        if (std::strstr(line, "face ") != nullptr) modelReadFaceChunk(fp, line, object);
    }
}

void modelReadVertices(FILE* fp, ModelVertex* table, int count)
{
    char line[kModelLineSize];
    for (int n = 0; modelReadLine(fp, line) && !modelChunkEnds(line); ++n) {
        if (n < count) std::sscanf(line, "%f %f %f", &table[n].x, &table[n].y, &table[n].z);
    }
}

void modelReadFaces(FILE* fp, ModelFace* table, int count)
{
    char line[kModelLineSize];
    for (int n = 0; modelReadLine(fp, line) && !modelChunkEnds(line); ++n) {
        if (n < count) modelParseFace(line, &table[n]);
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
