// Turns a parsed model file into a display list: flat faces with per-face normals,
// fixed-function materials and optional textures. Also creates the texture objects
// the materials name.
#include "model/model.h"

#include <GL/gl.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

static_assert(std::is_same<GLuint, unsigned int>::value, "list and texture names are GLuint");

namespace {

// The texture object already made for `path` in this sequence load, or 0.
GLuint modelFindTexture(const ModelFile* file, const char* path)
{
    for (int i = 0; i < file->textureCount; ++i) {
        if (std::strcmp(file->texturePaths[i], path) == 0) return file->textureIds[i];
    }
    return 0;
}

void modelRememberTexture(ModelFile* file, const char* path, GLuint id)
{
    if (file->textureCount >= kModelMaxTextures) return;  // still correct, just not shared
    std::memcpy(file->texturePaths[file->textureCount], path, kModelPathSize);
    file->textureIds[file->textureCount] = id;
    ++file->textureCount;
}

// Texel bytes handed to GL so far in this process, and whether an image has already
// been refused for want of room (then no further image is read).
long long modelTextureBytes = 0;
bool modelTextureBudgetSpent = false;

// Keeps *pixels (w x w texels) within kModelMaxTextureBytesTotal, or frees it.
void modelChargeTexture(unsigned char** pixels, int w)
{
    const long long bytes = static_cast<long long>(w) * w * 4;
    if (modelTextureBytes + bytes <= kModelMaxTextureBytesTotal) {
        modelTextureBytes += bytes;
        return;
    }
    modelTextureBudgetSpent = true;
    std::free(*pixels);
    *pixels = nullptr;
}

// A new texture object holding the image at `path`; without a readable image it
// stays empty, which GL treats as texturing off for the faces that bind it.
GLuint modelMakeTexture(ModelMaterial* m, const char* path)
{
    int w = 0;
    m->pixels = nullptr;
    if (path[0] != '\0' && !modelTextureBudgetSpent) {
        if (FILE* fp = std::fopen(path, "rb")) m->pixels = modelLoadTexture(fp, &w);
        if (m->pixels != nullptr) modelChargeTexture(&m->pixels, w);
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    GLuint id = 0;
    glGenTextures(1, &id);
    glBindTexture(GL_TEXTURE_2D, id);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    if (m->pixels != nullptr) {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, w, 0, GL_RGBA, GL_UNSIGNED_BYTE, m->pixels);
    }
    std::free(m->pixels);
    m->pixels = nullptr;
    return id;
}

void modelEmitMaterial(const ModelMaterial& m)
{
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, m.diffuse);
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, m.ambient);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, m.specular);
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, m.emission);
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, m.power);
    glColor4f(m.colour[0], m.colour[1], m.colour[2], m.colour[3]);
}

// Triangles and quads whose corners all exist; everything else issues nothing.
bool modelFaceDrawable(const ModelFace& face, int vertexCount)
{
    if (face.vertexCount != 3 && face.vertexCount != 4) return false;
    for (int i = 0; i < face.vertexCount; ++i) {
        if (face.vertexIndex[i] < 0 || face.vertexIndex[i] >= vertexCount) return false;
    }
    return true;
}

// The face's material entry, or nullptr (drawn white) without a valid one.
const ModelMaterial* modelFaceMaterial(const ModelFace& face, const ModelMaterial* materials,
                                       int materialCount)
{
    if (materials == nullptr || face.material < 0 || face.material >= materialCount) return nullptr;
    return &materials[face.material];
}

// Consecutive faces with the same material and corner count share one glBegin/glEnd
// and one issue of the material and texture state. They draw exactly as faces issued
// one by one would (every face still gets its own normal), but a software GL
// compiles and calls such a list several times faster.
struct ModelRun {
    bool open;
    const ModelMaterial* material;
    int vertexCount;
    bool textured;
};

void modelRunBegin(ModelRun* run, const ModelMaterial* m, int vertexCount)
{
    if (m != nullptr)
        modelEmitMaterial(*m);
    else
        glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    *run = ModelRun{true, m, vertexCount, m != nullptr && m->hasTexture != 0};
    if (run->textured) {
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, m->textureId);
    }
    glEnable(GL_NORMALIZE);
    glBegin(vertexCount == 3 ? GL_TRIANGLES : GL_QUADS);
}

// The face's normal (from its first three corners) and its corners in order.
void modelRunFace(const ModelFace& face, const ModelVertex* vertices, bool textured)
{
    const int* index = face.vertexIndex;
    const std::array<float, 3> n =
        modelFaceNormal(vertices[index[0]], vertices[index[1]], vertices[index[2]]);
    glNormal3f(n[0], n[1], n[2]);
    for (int i = 0; i < face.vertexCount; ++i) {
        if (textured) glTexCoord2f(face.uv[2 * i], face.uv[2 * i + 1]);
        const ModelVertex& v = vertices[index[i]];
        glVertex3f(v.x, v.y, v.z);
    }
}

void modelRunEnd(ModelRun* run)
{
    glEnd();
    glDisable(GL_NORMALIZE);
    if (run->textured) glDisable(GL_TEXTURE_2D);
    run->open = false;
}

}  // namespace

void modelCreateTextures(ModelFile* file, const char* modelPath)
{
    for (int k = 0; k < file->materialCount; ++k) {
        ModelMaterial* m = &file->materials[k];
        if (m->hasTexture == 0) continue;
        char path[kModelPathSize];
        modelTexturePath(modelPath, m->textureFile, path);  // too long: empty, no image
        m->textureId = modelFindTexture(file, path);
        if (m->textureId != 0) continue;
        m->textureId = modelMakeTexture(m, path);
        modelRememberTexture(file, path, m->textureId);
    }
}

void modelCompile(const ModelFile* file, unsigned int list, double scale)
{
    glNewList(list, GL_COMPILE);
    glScaled(scale, scale, scale);
    modelDrawObjects(file->objectCount, file->objects, file->materials, file->materialCount);
    glEndList();
}

void modelDrawObjects(int objectCount, const ModelObject* objects, const ModelMaterial* materials,
                      int materialCount)
{
    glPushMatrix();
    ModelRun run{};
    for (int i = 0; i < objectCount; ++i) {
        const ModelObject& object = objects[i];
        if (object.visible == 0) continue;
        for (int j = 0; j < object.faceCount; ++j) {
            const ModelFace& face = object.faces[j];
            if (!modelFaceDrawable(face, object.vertexCount)) continue;
            const ModelMaterial* m = modelFaceMaterial(face, materials, materialCount);
            if (run.open && (m != run.material || face.vertexCount != run.vertexCount))
                modelRunEnd(&run);
            if (!run.open) modelRunBegin(&run, m, face.vertexCount);
            modelRunFace(face, object.vertices, run.textured);
        }
    }
    if (run.open) modelRunEnd(&run);
    glPopMatrix();
}

void modelDrawFace(const ModelFace* face, const ModelVertex* vertices, int vertexCount,
                   const ModelMaterial* materials, int materialCount)
{
    // 1. Only triangles and quads whose corners exist are drawn.
    if (!modelFaceDrawable(*face, vertexCount)) return;
    // 2.-5. Material (or white), texture, the primitive with its normal.
    ModelRun run{};
    modelRunBegin(&run, modelFaceMaterial(*face, materials, materialCount), face->vertexCount);
    modelRunFace(*face, vertices, run.textured);
    modelRunEnd(&run);
}

std::array<float, 3> modelFaceNormal(const ModelVertex& p0, const ModelVertex& p1,
                                     const ModelVertex& p2)
{
    const float ax = p0.x - p1.x, ay = p0.y - p1.y, az = p0.z - p1.z;
    const float bx = p2.x - p1.x, by = p2.y - p1.y, bz = p2.z - p1.z;
    // Each product difference is rounded to float before use, as float arithmetic
    // does with contraction off.
    const float nx = ay * bz - az * by;
    const float ny = az * bx - ax * bz;
    const float nz = ax * by - ay * bx;
    const float length = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(length > 0.0f) || !std::isfinite(length)) return {0.0f, 1.0f, 0.0f};
    return {nx / length, ny / length, nz / length};
}
