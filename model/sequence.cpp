// Loads a marker's animation: the numbered model files of a prefix, each parsed and
// compiled into one list of a block reserved at once.
#include "model/model.h"

#include <GL/gl.h>

namespace {

// Working state of the sequence being loaded: 30 objects and the texture table (about
// 17 KiB), static like the rest of the viewer's long-lived state; loads run one at a
// time on the one thread.
ModelFile modelSequenceFile;

// Parses file i and compiles it into list listBase + i. Returns false when the file
// cannot be opened (or its path does not fit).
bool modelLoadFrame(const char* pathPrefix, int i, double scale, GLuint listBase, ModelFile* file) {
    char path[kModelPathSize];
    const int written = std::snprintf(path, sizeof(path), "%s%d.mqo", pathPrefix, i);
    if (written < 0 || written >= kModelPathSize) return false;
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) return false;
    modelLoadFile(fp, file);
    std::fclose(fp);
    // Every file that brings its own materials gets their textures (a path already
    // loaded in this sequence reuses its texture object); a file without a material
    // chunk keeps the previous table, textures included.
    if (file->newMaterials != 0) modelCreateTextures(file, path);
    modelCompile(file, listBase + static_cast<GLuint>(i), scale);
    modelReleaseObjects(file);
    return true;
}

}  // namespace

int modelLoadSequence(const char* pathPrefix, int frameCount, double scale, unsigned int* listBase) {
    *listBase = 0;
    // No file to load: nothing is reserved, and the count stands as configured.
    if (frameCount <= 0) return frameCount;
    const GLuint base = glGenLists(frameCount);
    if (base == 0) return 0;
    *listBase = base;
    ModelFile* file = &modelSequenceFile;
    *file = ModelFile{};
    int loaded = frameCount;
    for (int i = 0; i < frameCount; ++i) {
        if (!modelLoadFrame(pathPrefix, i, scale, base, file)) {
            loaded = 0;
            break;
        }
    }
    modelReleaseFile(file);
    return loaded;
}

void modelLoadAllSequences(ModelSequence* sequences, int count) {
    for (int k = 0; k < count; ++k) {
        ModelSequence& s = sequences[k];
        s.loadedCount = modelLoadSequence(s.pathPrefix, s.frameCount, s.scale, &s.listBase);
        s.currentFrame = 0;
    }
}
