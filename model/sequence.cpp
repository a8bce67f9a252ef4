// Loads a marker's animation: the numbered model files of a prefix, each parsed and
// compiled into one list of a block reserved at once.
#include "model/model.h"

#include <GL/gl.h>

namespace {

// Working state of the sequence being loaded: 30 objects and the texture table (about
// 17 KiB), static like the rest of the viewer's long-lived state; loads run one at a
// time on the one thread.
ModelFile modelSequenceFile;

// Path of file i into path; false when it does not fit.
bool modelFramePath(const char* pathPrefix, int i, char path[kModelPathSize])
{
    const int written = std::snprintf(path, kModelPathSize, "%s%d.mqo", pathPrefix, i);
    return written >= 0 && written < kModelPathSize;
}

// How many of the files 0 .. frameCount - 1 can be opened, counting from file 0 up to
// the first that cannot. Only opened, not read: this bounds the block to reserve, so
// that a huge configured count with few files does not make GL reserve (and fill with
// empty lists) billions of names.
int modelCountOpenableFrames(const char* pathPrefix, int frameCount)
{
    int n = 0;
    char path[kModelPathSize];
    while (n < frameCount && modelFramePath(pathPrefix, n, path)) {
        FILE* fp = std::fopen(path, "r");
        if (fp == nullptr) break;
        std::fclose(fp);
        ++n;
    }
    return n;
}

// Parses file i and compiles it into list listBase + i. Returns false when the file
// cannot be opened or read (or its path does not fit).
bool modelLoadFrame(const char* pathPrefix, int i, double scale, GLuint listBase, ModelFile* file)
{
    char path[kModelPathSize];
    if (!modelFramePath(pathPrefix, i, path)) return false;
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) return false;
    modelLoadFile(fp, file);
    // A stream that opens but cannot be read (a directory, an I/O error) is no model:
    // it fails like a missing file rather than compiling whatever was read.
    const bool readError = std::ferror(fp) != 0;
    std::fclose(fp);
    if (readError) return false;
    // Every file that brings its own materials gets their textures (a path already
    // loaded in this sequence reuses its texture object); a file without a material
    // chunk keeps the previous table, textures included.
    if (file->newMaterials != 0) modelCreateTextures(file, path);
    modelCompile(file, listBase + static_cast<GLuint>(i), scale);
    modelReleaseObjects(file);
    return true;
}

}  // namespace

int modelLoadSequence(const char* pathPrefix, int frameCount, double scale, unsigned int* listBase)
{
    *listBase = 0;
    // No file to load: nothing is reserved, and the count stands as configured.
    if (frameCount <= 0) return frameCount;
    // A sequence with a missing file k loads nothing, but its files before k are still
    // compiled: k lists are enough for them.
    const int reserved = modelCountOpenableFrames(pathPrefix, frameCount);
    if (reserved == 0) return 0;
    const GLuint base = glGenLists(reserved);
    if (base == 0) return 0;
    *listBase = base;
    ModelFile* file = &modelSequenceFile;
    *file = ModelFile{};
    int loaded = reserved == frameCount ? frameCount : 0;
    for (int i = 0; i < reserved; ++i) {
        if (!modelLoadFrame(pathPrefix, i, scale, base, file)) {
            loaded = 0;
            break;
        }
    }
    modelReleaseFile(file);
    return loaded;
}

void modelLoadAllSequences(ModelSequence* sequences, int count)
{
    for (int k = 0; k < count; ++k) {
        ModelSequence& s = sequences[k];
        s.loadedCount = modelLoadSequence(s.pathPrefix, s.frameCount, s.scale, &s.listBase);
        s.currentFrame = 0;
    }
}
