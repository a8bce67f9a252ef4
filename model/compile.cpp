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

// The entry of the texture object already made for `path` in this sequence load, or -1.
int modelFindTexture(const ModelFile* file, const char* path)
{
    for (int i = 0; i < file->textureCount; ++i) {
        if (std::strcmp(file->texturePaths[i], path) == 0) return i;
    }
    return -1;
}

void modelRememberTexture(ModelFile* file, const char* path, const ModelMaterial& m)
{
    if (file->textureCount >= kModelMaxTextures) return;  // still correct, just not shared
    const int i = file->textureCount++;
    std::memcpy(file->texturePaths[i], path, kModelPathSize);
    file->textureIds[i] = m.textureId;
    file->textureLoaded[i] = static_cast<unsigned char>(m.textureLoaded);
    file->textureTransparent[i] = static_cast<unsigned char>(m.textureTransparent);
}

// Texel bytes handed to GL so far in this process, and whether an image has already
// been refused for want of room (then no further image is read).
long long modelTextureBytes = 0;
bool modelTextureBudgetSpent = false;

ModelWarnings modelWarnings;

// Records that `path` could not be loaded, once per path for the whole run.
void modelWarn(const char* path, const char* reason)
{
    for (int i = 0; i < modelWarnings.count; ++i) {
        if (std::strcmp(modelWarnings.entries[i].path, path) == 0) return;
    }
    if (modelWarnings.count >= kModelMaxWarnings) {
        ++modelWarnings.lost;
        return;
    }
    ModelWarning& w = modelWarnings.entries[modelWarnings.count++];
    std::snprintf(w.path, sizeof(w.path), "%s", path);
    std::snprintf(w.reason, sizeof(w.reason), "%s", reason);
}

// Whether GL takes textures whose sides are not powers of two: GL 2.0 and later, or
// the extension on an older GL.
bool modelGlTakesAnySize()
{
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    if (version != nullptr && std::atoi(version) >= 2) return true;
    const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    if (extensions == nullptr) return false;
    const char* name = "GL_ARB_texture_non_power_of_two";
    const size_t length = std::strlen(name);
    for (const char* at = std::strstr(extensions, name); at != nullptr;
         at = std::strstr(at + 1, name)) {
        if ((at == extensions || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0'))
            return true;
    }
    return false;
}

// Reads the image at `path` and brings it to a size GL takes, within the run's texel
// budget. Returns false with a reason when there is no image to upload.
bool modelPrepareImage(const char* path, ModelImage* image, char reason[kModelReasonSize])
{
    if (modelTextureBudgetSpent) {
        std::snprintf(reason, kModelReasonSize, "texture memory limit of %lld MiB per run reached",
                      kModelMaxTextureBytesTotal >> 20);
        return false;
    }
    if (modelReadImage(path, image, reason, kModelReasonSize) < 0) return false;
    GLint maxSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
    if (maxSide < 64) maxSide = 64;  // every GL takes 64; a context that answers less is wrong
    int w = 0, h = 0;
    modelTextureSize(image->width, image->height, modelGlTakesAnySize(), maxSide, &w, &h);
    const long long bytes = static_cast<long long>(w) * h * 4;
    if (modelTextureBytes + bytes > kModelMaxTextureBytesTotal) {
        modelTextureBudgetSpent = true;
        std::snprintf(reason, kModelReasonSize, "texture memory limit of %lld MiB per run reached",
                      kModelMaxTextureBytesTotal >> 20);
        *image = ModelImage{};
        return false;
    }
    if (modelResizeImage(image, w, h) < 0) {
        std::snprintf(reason, kModelReasonSize, "out of memory");
        *image = ModelImage{};
        return false;
    }
    modelTextureBytes += bytes;
    return true;
}

// A new texture object holding the image at `path`; without a readable image it
// stays empty, which GL treats as texturing off for the faces that bind it.
void modelMakeTexture(ModelMaterial* m, const char* path)
{
    ModelImage image;
    char reason[kModelReasonSize] = "path longer than 255 characters";
    const bool ok = path[0] != '\0' && modelPrepareImage(path, &image, reason);
    if (!ok) modelWarn(path[0] != '\0' ? path : m->textureFile, reason);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    GLuint id = 0;
    glGenTextures(1, &id);
    glBindTexture(GL_TEXTURE_2D, id);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    if (ok) {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, image.width, image.height, 0, GL_RGBA,
                     GL_UNSIGNED_BYTE, image.pixels.data());
    }
    m->textureId = id;
    m->textureLoaded = ok ? 1 : 0;
    m->textureTransparent = ok ? image.transparent : 0;
    m->pixels = nullptr;
}

void modelEmitMaterial(const ModelMaterial& m, float alpha)
{
    // Lighting takes a fragment's alpha from the diffuse colour, which carries dif
    // times the colour's alpha; a see-through face is as opaque as its colour says.
    float diffuse[4] = {m.diffuse[0], m.diffuse[1], m.diffuse[2], alpha};
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, alpha < 0.0f ? m.diffuse : diffuse);
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

// How a material's faces are drawn. Opaque faces are lit with their material, or
// show their texels unlit (the window's GL_DECAL texture mode); see-through faces
// (colour alpha below 1, or a loaded image with transparent texels) are blended over
// what is behind them, textured ones showing texel colour with texel alpha times the
// colour's alpha. A texture that did not load draws as no texture.
enum class ModelLook { kOpaque, kOpaqueTextured, kSeeThrough, kSeeThroughTextured };

ModelLook modelLookOf(const ModelMaterial* m)
{
    if (m == nullptr) return ModelLook::kOpaque;
    const bool loaded = m->hasTexture != 0 && m->textureLoaded != 0;
    if (m->colour[3] < 1.0f || (loaded && m->textureTransparent != 0))
        return loaded ? ModelLook::kSeeThroughTextured : ModelLook::kSeeThrough;
    return m->hasTexture != 0 ? ModelLook::kOpaqueTextured : ModelLook::kOpaque;
}

bool modelSeeThrough(ModelLook look)
{
    return look == ModelLook::kSeeThrough || look == ModelLook::kSeeThroughTextured;
}

// Consecutive faces with the same material and corner count share one glBegin/glEnd
// and one issue of the material and texture state. They draw exactly as faces issued
// one by one would (every face still gets its own normal), but a software GL
// compiles and calls such a list several times faster.
struct ModelRun {
    bool open;
    const ModelMaterial* material;
    int vertexCount;
    ModelLook look;
    bool textured;
};

void modelRunBegin(ModelRun* run, const ModelMaterial* m, int vertexCount)
{
    const ModelLook look = modelLookOf(m);
    *run = ModelRun{true, m, vertexCount, look,
                    look == ModelLook::kOpaqueTextured || look == ModelLook::kSeeThroughTextured};
    if (modelSeeThrough(look)) {
        // Blending state is restored when the run ends, whatever the caller had.
        glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_TEXTURE_BIT);
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        // Fully transparent texels leave the depth buffer alone too, so that what is
        // drawn later behind them still shows.
        glEnable(GL_ALPHA_TEST);
        glAlphaFunc(GL_GREATER, 0.0f);
    }
    if (look == ModelLook::kSeeThroughTextured) {
        glDisable(GL_LIGHTING);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        glColor4f(1.0f, 1.0f, 1.0f, m->colour[3]);
    } else if (m != nullptr) {
        modelEmitMaterial(*m, look == ModelLook::kSeeThrough ? m->colour[3] : -1.0f);
    } else {
        glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    }
    if (run->textured) {
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, m->textureId);
    }
    glEnable(GL_NORMALIZE);
    glBegin(vertexCount == 3 ? GL_TRIANGLES : GL_QUADS);
}

// One copy of an object: the signs its coordinates are multiplied by. A copy with
// an odd number of reflections turns its faces inside out, so its corners are
// issued in reverse order to keep the lit side outside.
struct ModelCopy {
    float sign[3];
    bool reversed;
};

constexpr ModelCopy kModelOriginal = {{1.0f, 1.0f, 1.0f}, false};

// The face's normal (from its first three corners as issued) and its corners.
void modelRunFace(const ModelFace& face, const ModelVertex* vertices, bool textured,
                  const ModelCopy& copy)
{
    ModelVertex p[4] = {};
    int corner[4] = {0, 0, 0, 0};
    const int n = face.vertexCount;
    for (int i = 0; i < n; ++i) {
        corner[i] = copy.reversed ? n - 1 - i : i;
        const ModelVertex& v = vertices[face.vertexIndex[corner[i]]];
        p[i] = {copy.sign[0] * v.x, copy.sign[1] * v.y, copy.sign[2] * v.z};
    }
    const std::array<float, 3> normal = modelFaceNormal(p[0], p[1], p[2]);
    glNormal3f(normal[0], normal[1], normal[2]);
    for (int i = 0; i < n; ++i) {
        if (textured) glTexCoord2f(face.uv[2 * corner[i]], face.uv[2 * corner[i] + 1]);
        glVertex3f(p[i].x, p[i].y, p[i].z);
    }
}

void modelRunEnd(ModelRun* run)
{
    glEnd();
    glDisable(GL_NORMALIZE);
    if (run->textured) glDisable(GL_TEXTURE_2D);
    if (modelSeeThrough(run->look)) glPopAttrib();
    run->open = false;
}

// The copies an object is drawn as: itself, then for a mirrored object each
// combination of its mirror axes (x, y, z, xy, xz, yz, xyz as set).
int modelObjectCopies(const ModelObject& object, ModelCopy copies[8])
{
    copies[0] = kModelOriginal;
    int count = 1;
    const int axes = object.mirror != 0 ? object.mirrorAxis & 7 : 0;
    for (int mask = 1; mask < 8; ++mask) {
        if ((mask & ~axes) != 0) continue;
        ModelCopy c = kModelOriginal;
        int flips = 0;
        for (int a = 0; a < 3; ++a) {
            if ((mask >> a) & 1) c.sign[a] = -1.0f, ++flips;
        }
        c.reversed = flips % 2 == 1;
        copies[count++] = c;
    }
    return count;
}

// Issues the faces of every visible object whose look is (or is not) see-through.
void modelDrawPass(int objectCount, const ModelObject* objects, const ModelMaterial* materials,
                   int materialCount, bool seeThrough)
{
    ModelRun run{};
    for (int i = 0; i < objectCount; ++i) {
        const ModelObject& object = objects[i];
        if (object.visible == 0) continue;
        ModelCopy copies[8];
        const int copyCount = modelObjectCopies(object, copies);
        for (int k = 0; k < copyCount; ++k) {
            for (int j = 0; j < object.faceCount; ++j) {
                const ModelFace& face = object.faces[j];
                if (!modelFaceDrawable(face, object.vertexCount)) continue;
                const ModelMaterial* m = modelFaceMaterial(face, materials, materialCount);
                if (modelSeeThrough(modelLookOf(m)) != seeThrough) continue;
                if (run.open && (m != run.material || face.vertexCount != run.vertexCount))
                    modelRunEnd(&run);
                if (!run.open) modelRunBegin(&run, m, face.vertexCount);
                modelRunFace(face, object.vertices, run.textured, copies[k]);
            }
        }
    }
    if (run.open) modelRunEnd(&run);
}

}  // namespace

void modelCreateTextures(ModelFile* file, const char* modelPath)
{
    for (int k = 0; k < file->materialCount; ++k) {
        ModelMaterial* m = &file->materials[k];
        if (m->hasTexture == 0) continue;
        char path[kModelPathSize];
        modelTexturePath(modelPath, m->textureFile, path);  // too long: empty, no image
        const int known = modelFindTexture(file, path);
        if (known >= 0) {
            m->textureId = file->textureIds[known];
            m->textureLoaded = file->textureLoaded[known];
            m->textureTransparent = file->textureTransparent[known];
            continue;
        }
        modelMakeTexture(m, path);
        modelRememberTexture(file, path, *m);
    }
}

const ModelWarnings* modelTextureWarnings()
{
    return &modelWarnings;
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
    // Opaque faces first, so that see-through ones blend over everything behind them.
    modelDrawPass(objectCount, objects, materials, materialCount, false);
    modelDrawPass(objectCount, objects, materials, materialCount, true);
    glPopMatrix();
}

void modelDrawFace(const ModelFace* face, const ModelVertex* vertices, int vertexCount,
                   const ModelMaterial* materials, int materialCount)
{
    // 1. Only triangles and quads whose corners exist are drawn.
    if (!modelFaceDrawable(*face, vertexCount)) return;
    // 2. One run of this face: material (or white), texture, the primitive with its normal.
    ModelRun run{};
    modelRunBegin(&run, modelFaceMaterial(*face, materials, materialCount), face->vertexCount);
    modelRunFace(*face, vertices, run.textured, kModelOriginal);
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
