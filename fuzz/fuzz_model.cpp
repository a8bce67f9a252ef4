// .mqo model file: modelLoadFile twice into one ModelFile, as two files of a sequence
// (the second releases the first's tables and may carry its materials over), then the
// texture paths, the face normals, the bounds, the real list compilation (mirrored
// copies and see-through passes included), and the release.
// Without a current context the GL entry points (libglvnd) do nothing, so
// modelCompile runs its whole walk over objects, faces, corners and materials and
// stops only at the GL calls themselves.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "model/model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    static ModelFile file;
    file = ModelFile{};
    for (int pass = 0; pass < 2; pass++) {
        FILE* fp = fmemopen(const_cast<uint8_t*>(data), size, "r");
        if (fp == nullptr) std::abort();
        modelLoadFile(fp, &file);
        std::fclose(fp);
    }
    if (file.objectCount < 0 || file.objectCount > kModelMaxObjects) std::abort();

    char path[kModelPathSize];
    for (int m = 0; m < file.materialCount; m++) {
        if (file.materials[m].hasTexture)
            modelTexturePath("data/models/fuzz/fuzz0.mqo", file.materials[m].textureFile, path);
    }
    for (int o = 0; o < file.objectCount; o++) {
        const ModelObject& object = file.objects[o];
        for (int f = 0; f < object.faceCount; f++) {
            const ModelFace& face = object.faces[f];
            if (face.vertexCount != 3 && face.vertexCount != 4) continue;
            bool inRange = true;
            for (int c = 0; c < face.vertexCount; c++) {
                inRange =
                    inRange && face.vertexIndex[c] >= 0 && face.vertexIndex[c] < object.vertexCount;
            }
            if (!inRange) continue;
            const ModelVertex* v = object.vertices;
            const auto n = modelFaceNormal(v[face.vertexIndex[0]], v[face.vertexIndex[1]],
                                           v[face.vertexIndex[2]]);
            // The drawn normal is always usable, whatever the file's numbers.
            if (!std::isfinite(n[0]) || !std::isfinite(n[1]) || !std::isfinite(n[2])) std::abort();
        }
    }
    // The box around what is drawn holds no inverted range, mirrored copies included.
    float lo[3], hi[3];
    if (modelBounds(&file, lo, hi) == 0) {
        for (int a = 0; a < 3; a++) {
            if (lo[a] > hi[a]) std::abort();
        }
    }
    modelCompile(&file, 1, 1.0);
    modelReleaseFile(&file);
    return 0;
}
