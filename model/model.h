// model: the animated 3D models drawn on the markers. Reads .mqo text model files as
// modellers save them (materials, and per object its name, visibility, mirroring,
// vertices in text or binary and faces; every other chunk is skipped), loads the
// textures their materials name (24-bit bitmaps, PNG and JPEG of any size, alpha
// kept), compiles every file into an OpenGL display list and loads each marker's
// numbered sequence of files into one block of consecutive lists.
//
// Use: after the window and its GL context exist, the application calls
// modelLoadAllSequences(appConfig.sequences, appConfig.markerCount); every frame it
// then calls list listBase + currentFrame of a visible marker. The other functions
// are the stages of that load, public so that tests and tools can use them alone.
//
// Ownership of the sequence record: ModelSequence is defined here, not in the
// application, because this subsystem fills it (listBase, loadedCount,
// currentFrame) and must not include the application's header. The application's
// AppConfig holds an array of them; modelLoadAllSequences takes that array and the
// count of entries in use instead of reaching into the application's global.
//
// Coordinates: a model is drawn in its own frame; the viewer turns it so that model
// +y points along the marker's normal (up, out of the marker) and model units are the
// unit of the marker width (millimetres in the shipped configuration) after `scale`.
//
// Result codes: 0 success, -1 failure, unless a function says otherwise. Nothing
// here prints: textures that cannot be loaded are collected as warnings
// (modelTextureWarnings) for the caller to report. The reading and texture functions need no GL context; the compile,
// texture-creation and sequence functions need a current one.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

// ---- Capacities ------------------------------------------------------------------------

// Objects kept per file. Objects after the 30th are read and dropped, so their
// lines are not mistaken for file-level text.
constexpr int kModelMaxObjects = 30;
// Lines are read whole, whatever their length: the line buffer grows to the longest
// line of the file (a file's size bounds it) and is released when the reading
// function returns.
// Texture file names and every path built here (model file, texture file), NUL
// included: at most 255 characters.
constexpr int kModelNameSize = 256;
constexpr int kModelPathSize = 256;
// Path prefix of a sequence, NUL included; the same size as the configuration's
// text fields, so a prefix line of the configuration always fits.
constexpr int kModelPrefixSize = 512;
// Largest table a chunk header may ask for. A header count above the cap is clamped
// to it (lines beyond are ignored); the cap only bounds what a corrupt header can
// make us allocate: 2^20 faces of 56 bytes is 56 MiB, allocated zeroed, so pages a
// short file never fills are never touched.
constexpr int kModelMaxVertices = 1 << 20;
constexpr int kModelMaxFaces = 1 << 20;
constexpr int kModelMaxMaterials = 1024;
// Widest texture accepted: 4096^2 texels of 4 bytes = 64 MiB, which also keeps
// W*W*4 far below INT_MAX (4096^2 * 4 = 2^26).
constexpr int kModelMaxTextureWidth = 4096;
static_assert(static_cast<long long>(kModelMaxTextureWidth) * kModelMaxTextureWidth * 4 <
                  0x7fffffffLL,
              "texel buffer size must fit an int");
// Distinct texture paths remembered per sequence load so that frames naming the same
// image share one texture object. A sequence naming more images still gets every one
// of them: past the cap each further material gets a fresh texture object.
constexpr int kModelMaxTextures = 64;
// Texel memory that all texture images of the process together may hand to GL: four
// images of the widest size, or 64 of 1024 x 1024. Without a total, one file could
// ask for 64 GiB: 1024 materials, each naming its own path (even to a 54-byte bitmap
// that declares the widest size, whose missing pixels are black). Once an image does
// not fit, no further image is read for the rest of the run.
constexpr long long kModelMaxTextureBytesTotal = 256LL << 20;
static_assert(kModelMaxTextureBytesTotal >= 4LL * kModelMaxTextureWidth * kModelMaxTextureWidth * 4,
              "the widest image fits several times");

// ---- Records -------------------------------------------------------------------------

// One vertex, in model units.
struct ModelVertex {
    float x;
    float y;
    float z;
};

// One face as read from a face line.
struct ModelFace {
    int vertexCount;     // corners; only 3 and 4 are drawn
    int material;        // index into the material table; 0 when the line has no "M("
    int vertexIndex[4];  // corner indices into the object's vertex table, as in the file
                         // (not range-checked when read; a face with an index outside
                         // 0..vertexCount-1 of its object is not drawn); 0 beyond
                         // the corner count
    float uv[8];         // (u, v) per corner in corner order, as in the file; v = 0 is the
                         // top edge of the image; 0 beyond the corner count
};

// One object chunk.
struct ModelObject {
    int visible;                // value of the "visible" line; drawn when not 0. An object
                                // without a visible line is visible (1).
    int faceCount;              // entries of `faces`: the face header count clamped to
                                // 0..kModelMaxFaces; 0 when there is no face chunk or the
                                // table could not be allocated
    int vertexCount;            // entries of `vertices`, same rules with kModelMaxVertices
                                // (a "vertex" or a binary "BVertex" chunk)
    ModelFace* faces;           // owned, zeroed at allocation; entries without a line stay
                                // zero (0 corners: not drawn); nullptr when faceCount is 0
    ModelVertex* vertices;      // owned, zeroed at allocation; nullptr when vertexCount is 0
    int mirror;                 // value of the "mirror" line: 0 none; any other value draws
                                // the object's mirrored copies too (see mirrorAxis)
    int mirrorAxis;             // "mirror_axis" bits: 1 x, 2 y, 4 z (1 when the line is
                                // missing). Each set axis adds a copy reflected in the
                                // plane where that coordinate is 0, as stored; two or three
                                // axes also add the copies reflected in both or all.
    char name[kModelNameSize];  // the name between the header's quotes (cut at 255
                                // characters); empty without quotes
};
// One material line.
struct ModelMaterial {
    float colour[4];                   // r, g, b, a of "col("; a below 1 draws the
                                       // material's faces see-through
    float diffuse[4];                  // dif times r, g, b, a (alpha included)
    float ambient[4];                  // amb times r, g, b, a
    float emission[4];                 // emi times r, g, b, a
    float specular[4];                 // spc times r, g, b, a
    float power;                       // "power(" value, handed to GL unchanged (GL takes 0..128)
    int hasTexture;                    // 1 when the line names a texture (see below), else 0
    char textureFile[kModelNameSize];  // texture name as the file has it between the quotes;
                                       // empty without texture
    unsigned int textureId;            // GL texture object; 0 until modelCreateTextures
    unsigned char* pixels;             // transient RGBA texels while being uploaded; nullptr
                                       // at every other time
    int textureLoaded;                 // 1 once textureId holds an image (set by
                                       // modelCreateTextures), else 0
    int textureTransparent;            // 1 when that image has a texel with alpha below 255
    char name[kModelNameSize];         // the name between the line's leading quotes
};
// Working state of one sequence load: the objects of the current file, the material
// table that carries from file to file, and the sequence's texture objects by path.
// Start it value-initialised (ModelFile file{}) and end it with modelReleaseFile.
struct ModelFile {
    ModelObject objects[kModelMaxObjects];  // refilled from index 0 for every file
    int objectCount;                        // objects of the current file, 0..30
    ModelMaterial* materials;               // owned current table; nullptr when none
    int materialCount;                      // entries of `materials` (0 when none)
    int newMaterials;                       // 1 when the last modelLoadFile read a
                                            // material chunk of its own, else 0
    // Texture objects created during this sequence load, by texture path, so that a
    // path already loaded is not read again. Never deleted: lists call them.
    int textureCount;
    char texturePaths[kModelMaxTextures][kModelPathSize];
    unsigned int textureIds[kModelMaxTextures];
    unsigned char textureLoaded[kModelMaxTextures];       // as ModelMaterial's fields
    unsigned char textureTransparent[kModelMaxTextures];  // of the same names
};

// One marker's animation: model files "<pathPrefix><i>.mqo", i = 0..frameCount-1,
// compiled into the display lists listBase .. listBase + loadedCount - 1. The
// application's configuration reader fills the first three fields,
// modelLoadAllSequences the next three, the frame loop advances currentFrame.
struct ModelSequence {
    int frameCount;                     // model files configured; the animation's period
    double scale;                       // uniform scale applied to every model
    char pathPrefix[kModelPrefixSize];  // prefix of the numbered model files
    unsigned int listBase;              // first display list of the sequence's block; 0
                                        // when no block was reserved
    int loadedCount;                    // lists that may be called: frameCount when
                                        // every file loaded (also when that is 0 or
                                        // less: no lists), else 0
    int currentFrame;                   // model drawn next; 0 after loading
};

// ---- Reading (no GL) ---------------------------------------------------------------------
//
// Lines are read whole and recognised by their first word (after blanks, case-
// sensitive): "Material" and "Object" at file level; "visible", "vertex", "BVertex",
// "face", "mirror" and "mirror_axis" in objects. Text inside double quotes (names,
// file names) is never a keyword and its braces do not count. A line whose first
// character is '}' ends the chunk it is in; any other line that opens more braces
// than it closes starts a chunk this reader does not use (Scene, BackImage,
// MaterialEx2, Thumbnail, vertexattr, ...), which is skipped up to its matching
// closing brace. A chunk also ends at the end of the stream.
// Material lines: the quoted name, then fields name(values) in any order: col(r g b
// a), dif, amb, emi, spc, power and tex("file"); others (shader, vcol, dbls, aplane,
// proj_*, ...) are skipped. Face lines: the corner count, then V(...), M(...) and
// UV(...) in any order; others (COL, CRS, ...) are skipped.
// Nothing is reported: text that does not scan leaves fields at their defaults.
// Decisions for files that break a limit:
// - more lines in a chunk than its header announced: the extra lines are ignored;
//   fewer: the remaining entries stay zero. A negative count is taken as 0, a count
//   above kModelMaxVertices, kModelMaxFaces or kModelMaxMaterials as that cap.
// - more than 30 objects: the extra objects are read and dropped.
// - an object without a "visible" line is visible; without a vertex or face chunk it
//   has no vertices or faces (so draws nothing).
// - a material field that is missing or does not scan keeps its default: colour
//   (1, 1, 1, 1), dif 1, amb, emi, spc and power 0.
// - a "tex(" whose quoted name has no closing '"' ')' on its line: no texture. A name
//   of 256 characters or more: no texture.
// - a texture path (directory + name) over 255 characters: see modelTexturePath.
// - indices out of range are kept as read and judged when drawing (modelDrawFace).
// - a binary vertex block shorter than its header count leaves the rest zero; bytes
//   beyond the count are skipped.

// Reads the stream to its end into *file: releases the previous file's object
// tables, refills objects from index 0, and replaces the material table only when the
// stream has a "Material" line (newMaterials tells which). The caller opens and
// closes the stream. On an allocation failure the table concerned is empty (count
// 0) and its lines are skipped.
void modelLoadFile(FILE* fp, ModelFile* file);

// Reads material lines into table[0..count-1] up to the line starting with '}' (or
// the end of the stream); lines beyond `count` are read and ignored.
void modelReadMaterials(FILE* fp, ModelMaterial* table, int count);
// No form without `count`: the table's end would be unknown, and a chunk with more lines
// than the table has entries would be written past it.
void modelReadMaterials(FILE* fp, ModelMaterial* table) = delete;

// Reads one object chunk into *object (which must hold no tables; it is reset, name
// included), up to its closing line or the end of the stream, allocating its vertex
// and face tables.
void modelReadObject(FILE* fp, ModelObject* object);

// Reads vertex lines (three numbers) into table[0..count-1] up to the line starting
// with '}'; extra lines ignored, missing coordinates 0.
void modelReadVertices(FILE* fp, ModelVertex* table, int count);
// No form without `count`, for the reason given at modelReadMaterials.
void modelReadVertices(FILE* fp, ModelVertex* table) = delete;

// Reads face lines into table[0..count-1] up to the line starting with '}'; extra
// lines ignored.
void modelReadFaces(FILE* fp, ModelFace* table, int count);
// No form without `count`, for the reason given at modelReadMaterials.
void modelReadFaces(FILE* fp, ModelFace* table) = delete;

// Writes into path (kModelPathSize bytes) where the texture `textureFile` of the model
// file `modelPath` is loaded from: the name itself when it holds a ':', else the
// model's directory (up to and including its last '/' or '\') followed by the name.
// Returns 0, or -1 when the directory or the result would exceed 255 characters
// (path is then the empty string).
int modelTexturePath(const char* modelPath, const char* textureFile, char path[kModelPathSize]);

// The same path returned by value, for callers that only want the path: forwards to
// the form above. The array belongs to the caller, so a second call cannot overwrite
// the first one's path (as a shared static buffer would). It holds the empty string
// where the form above returns -1.
inline std::array<char, kModelPathSize> modelTexturePath(const char* modelPath,
                                                         const char* textureFile)
{
    std::array<char, kModelPathSize> path{};
    modelTexturePath(modelPath, textureFile, path.data());
    return path;
}

// The box around everything the file's objects draw, in model units: the vertices
// of every drawable face (3 or 4 corners in range) of every visible object, and of
// their mirrored copies. Returns 0, or -1 (min and max unchanged) when nothing is
// drawn.
int modelBounds(const ModelFile* file, float min[3], float max[3]);

// Releases the vertex and face tables of every object of the current file and sets
// objectCount to 0. Safe to call again.
void modelReleaseObjects(ModelFile* file);

// Releases the object tables and the material table. Texture objects are not
// deleted (display lists use them for the whole run). Safe to call again.
void modelReleaseFile(ModelFile* file);

// ---- Texture images (no GL) -----------------------------------------------------------
//
// A texture file is recognised by its first bytes: PNG (grey, grey+alpha, RGB, RGBA,
// palette; 8 or 16 bits) and JPEG are decoded whole, alpha kept; every other file is
// read as a 24-bit bitmap by modelLoadTexture, square and of a power-of-two width.

// Formats of a texture file.
constexpr int kModelImageNone = 0;
constexpr int kModelImageBmp = 1;
constexpr int kModelImagePng = 2;
constexpr int kModelImageJpeg = 3;

// Largest PNG or JPEG decoded, in pixels: one image may take the whole per-run texel
// memory (kModelMaxTextureBytesTotal / 4 bytes per texel = 64 Mi pixels, 8192 x 8192).
constexpr std::int64_t kModelMaxImagePixels = kModelMaxTextureBytesTotal / 4;

// Longest reason written by modelReadImage, NUL included.
constexpr int kModelReasonSize = 160;

// A decoded texture image. The record owns its texels.
struct ModelImage {
    int width = 0;                     // pixels, 0 when empty
    int height = 0;                    // pixels, 0 when empty
    int format = kModelImageNone;      // the file's format
    int transparent = 0;               // 1 when a texel's alpha is below 255
    std::vector<std::uint8_t> pixels;  // width * height texels of red, green, blue,
                                       // alpha; row 0 is the top of the image
};

// Reads the texture file at `path` into *image. Returns 0, or -1 with *image emptied
// and a one-line reason (no line end) in reason (reasonSize bytes, NUL included):
// "no such file", "cannot open: <system reason>", "damaged PNG: ...", "too large:
// WxH pixels", "not a PNG or JPEG file, and its bitmap width N is not a power of two
// from 1 to 4096", "out of memory". A PNG or JPEG of more than maxPixels pixels is
// refused before it is decoded.
int modelReadImage(const char* path, ModelImage* image, char* reason, int reasonSize,
                   std::int64_t maxPixels = kModelMaxImagePixels);

// "bmp", "png", "jpeg", or "none".
const char* modelImageFormatName(int format);

// Resamples *image to width x height (each 1 or more) with bilinear filtering, in
// place; alpha and `transparent` follow the texels. Returns 0, or -1 (image unchanged)
// for a bad size or when the memory cannot be had.
int modelResizeImage(ModelImage* image, int width, int height);

// The size a width x height image is given as a GL texture: unchanged when GL takes
// any size (anySize) and both sides are at most maxSide; otherwise each side becomes
// the power of two at or above it when GL takes only powers of two, and sides beyond
// maxSide shrink to it with the aspect ratio kept as far as powers of two allow.
void modelTextureSize(int width, int height, bool anySize, int maxSide, int* outWidth,
                      int* outHeight);

// ---- Texture warnings --------------------------------------------------------------------

// One texture file that could not be loaded, and why.
struct ModelWarning {
    char path[kModelPathSize];      // the texture path (the name as the material gives it
                                    // when the path was too long)
    char reason[kModelReasonSize];  // as modelReadImage gives it, or "texture memory limit
                                    // of 256 MiB per run reached", "path longer than 255
                                    // characters"
};

// Distinct texture paths warned about per run; further ones are counted only.
constexpr int kModelMaxWarnings = 64;

// Every texture that modelCreateTextures could not load since the process started,
// once per path, in the order met. `lost` counts paths beyond the table.
struct ModelWarnings {
    int count;
    int lost;
    ModelWarning entries[kModelMaxWarnings];
};

// The warnings so far; the caller prints them. Owned by this subsystem.
const ModelWarnings* modelTextureWarnings();

// Reads a 24-bit bitmap from `fp` (opened in binary mode) and closes the stream in
// every case. Reads the width W at offset 18 (the image is W x W; the height field and
// the rest of the header are not examined) and the pixel rows from offset 54: W rows,
// first row in the file = bottom of the image, 3 bytes per pixel (blue, green, red),
// each row padded to a multiple of 4 bytes as bitmaps are (no padding for W >= 4).
// Returns a buffer of W*W*4 bytes, row 0 the top of the image, texels red, green,
// blue, alpha 255, allocated with malloc and owned by the caller (free); W is stored
// in *size. Returns nullptr without touching *size when W is not a power of two
// from 1 to kModelMaxTextureWidth (GL 1.1 takes only powers of two), the width cannot
// be read, or the buffer cannot be allocated. A file shorter than its pixels
// gives black texels (0, 0, 0, 255) for everything past its end.
unsigned char* modelLoadTexture(FILE* fp, int* size);

// ---- Compiling and drawing (GL context needed) -------------------------------------------

// Gives every material with hasTexture a texture object in textureId, and sets its
// textureLoaded and textureTransparent. The image is the file at
// modelTexturePath(modelPath, textureFile) (modelReadImage), resized once when GL
// takes only powers of two (neither GL 2.0 nor GL_ARB_texture_non_power_of_two) or the
// image is larger than GL_MAX_TEXTURE_SIZE. A path already loaded during this
// sequence load (file->texturePaths) reuses its texture object instead of being read
// again. A texture whose file cannot be read or whose path is too long, or that comes
// once kModelMaxTextureBytesTotal is spent, gets a texture object without an image:
// GL then draws its faces untextured, lit with their material; its path and reason
// are added to modelTextureWarnings.
void modelCreateTextures(ModelFile* file, const char* modelPath);

// Compiles display list `list`: glScaled(scale), then modelDrawObjects of the file's
// objects with its material table. The list keeps copies of everything but the
// texture objects, so the file may be released afterwards.
void modelCompile(const ModelFile* file, unsigned int list, double scale);

// glPushMatrix, every face of every visible object (table order, file order), and
// glPopMatrix. materials may be nullptr (materialCount 0): faces are then white.
// Each face draws as modelDrawFace would draw it, but consecutive faces with the same
// material and corner count share one glBegin/glEnd and one issue of the material
// and texture state (each face keeps its own normal): the picture is the same, and a
// software GL compiles and calls such a list several times faster.
void modelDrawObjects(int objectCount, const ModelObject* objects, const ModelMaterial* materials,
                      int materialCount);
// No form without `materialCount`: a face's material index is not checked when it is
// read, so only the count keeps a bad index from reading past the material table.
void modelDrawObjects(int objectCount, const ModelObject* objects,
                      const ModelMaterial* materials) = delete;

// Issues one face with its per-face normal, its material (diffuse, ambient, specular,
// emission, shininess, colour) and, when the material is textured, its texture and
// texture coordinates. Issues nothing when the face has other than 3 or 4 corners or
// a corner index outside 0..vertexCount-1. A material index outside
// 0..materialCount-1 is drawn as with no table: colour white, no material calls,
// untextured.
void modelDrawFace(const ModelFace* face, const ModelVertex* vertices, int vertexCount,
                   const ModelMaterial* materials, int materialCount);
// No form without the two counts: corner and material indices are not checked when
// they are read, so only the counts keep a bad index from reading past either table.
void modelDrawFace(const ModelFace* face, const ModelVertex* vertices,
                   const ModelMaterial* materials) = delete;

// Unit normal of the triangle p0, p1, p2: (p0 - p1) x (p2 - p1), normalised, in
// single precision. A degenerate triangle (zero or non-finite length) gets (0, 1, 0),
// model up.
std::array<float, 3> modelFaceNormal(const ModelVertex& p0, const ModelVertex& p1,
                                     const ModelVertex& p2);

// ---- Sequences (GL context needed) ---------------------------------------------------------

// Loads files "<pathPrefix>0.mqo" .. "<pathPrefix><frameCount-1>.mqo" (decimal, no
// leading zeros) into a block of frameCount consecutive display lists reserved at
// once, writes its first name to *listBase and returns the loaded count: frameCount
// when every file loaded, 0 when one could not be opened or read (a directory, an
// I/O error; later files are not tried). Files are first only opened, up to the
// first that cannot be: when that is file k, only k lists are reserved (none when k
// is 0: *listBase 0), the files before it are compiled into them, and they stay
// reserved. So a configured count far beyond the files present costs nothing. The
// material table carries from a file to the next one that has no material chunk;
// every file that brings its own material chunk gets its textures (shared by path
// within the sequence).
// frameCount of 0 or less reads and reserves nothing: *listBase 0, and the result is
// frameCount itself (no list may be called, none is to be deleted). A path longer
// than 255 characters counts as a file that cannot be opened. When GL cannot reserve
// the block (glGenLists gives 0) no file is read: *listBase 0, result 0.
int modelLoadSequence(const char* pathPrefix, int frameCount, double scale, unsigned int* listBase);

// For each of sequences[0..count-1], in order: modelLoadSequence with its pathPrefix,
// frameCount and scale into listBase and loadedCount, and currentFrame = 0. count of 0
// or less does nothing. Cannot fail (a sequence that did not load has loadedCount 0).
void modelLoadAllSequences(ModelSequence* sequences, int count);
