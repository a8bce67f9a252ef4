// Model reader and texture loader, without a GL context: what a file's text turns
// into, what happens at and past every limit, and how bitmap rows become texels.
#include "model/model.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace {

// A stream holding `text`, positioned at its start.
FILE* streamOf(const std::string& text)
{
    FILE* fp = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), fp);
    std::rewind(fp);
    return fp;
}

// Loads `text` as the next file of `file`'s sequence.
void loadText(ModelFile* file, const std::string& text)
{
    FILE* fp = streamOf(text);
    modelLoadFile(fp, file);
    std::fclose(fp);
}

struct FileGuard {
    ModelFile file{};
    ~FileGuard() { modelReleaseFile(&file); }
};

// One object holding the given face lines over four vertices.
std::string objectWithFaces(const std::vector<std::string>& faces)
{
    std::string s = "Object \"obj\" {\n\tvisible 15\n\tvertex 4 {\n\t\t0 0 0\n\t\t1 0 0\n\t\t1 1 "
                    "0\n\t\t0 1 0\n\t}\n";
    s += "\tface " + std::to_string(faces.size()) + " {\n";
    for (const std::string& f : faces) s += "\t\t" + f + "\n";
    return s + "\t}\n}\n";
}

std::string materialChunk(const std::vector<std::string>& lines)
{
    std::string s = "Material " + std::to_string(lines.size()) + " {\n";
    for (const std::string& l : lines) s += "\t" + l + "\n";
    return s + "}\n";
}

void expectVec4(const float* got, float a, float b, float c, float d, const char* what)
{
    EXPECT_FLOAT_EQ(got[0], a) << what;
    EXPECT_FLOAT_EQ(got[1], b) << what;
    EXPECT_FLOAT_EQ(got[2], c) << what;
    EXPECT_FLOAT_EQ(got[3], d) << what;
}

// ---- Faces ---------------------------------------------------------------------------

TEST(ModelReaderFaces, ScansCornersMaterialAndUvByCornerCount)
{
    FileGuard g;
    loadText(&g.file, objectWithFaces({"3 V(0 1 2) M(1) UV(0 0 1 0 1 1)", "4 V(0 1 2 3)",
                                       "4 V(3 2 1 0) UV(0 0 1 0 1 1 0 1) M(2)",
                                       "5 V(0 1 2 3 0) M(1) UV(1 1 1 1 1 1 1 1 1 1)"}));
    ASSERT_EQ(g.file.objectCount, 1);
    const ModelObject& o = g.file.objects[0];
    ASSERT_EQ(o.faceCount, 4);
    const ModelFace& tri = o.faces[0];
    EXPECT_EQ(tri.vertexCount, 3);
    EXPECT_EQ(tri.material, 1);
    EXPECT_EQ(std::vector<int>(tri.vertexIndex, tri.vertexIndex + 4),
              (std::vector<int>{0, 1, 2, 0}));
    EXPECT_EQ(std::vector<float>(tri.uv, tri.uv + 8), (std::vector<float>{0, 0, 1, 0, 1, 1, 0, 0}));
    const ModelFace& plain = o.faces[1];
    EXPECT_EQ(plain.material, 0) << "no M( means material 0";
    EXPECT_EQ(std::vector<float>(plain.uv, plain.uv + 8), std::vector<float>(8, 0.0f));
    const ModelFace& quad = o.faces[2];
    EXPECT_EQ(std::vector<int>(quad.vertexIndex, quad.vertexIndex + 4),
              (std::vector<int>{3, 2, 1, 0}));
    EXPECT_EQ(quad.uv[7], 1.0f);
    EXPECT_EQ(quad.material, 2) << "M( after UV( is still found";
    const ModelFace& five = o.faces[3];
    EXPECT_EQ(five.vertexCount, 5);
    EXPECT_EQ(std::vector<int>(five.vertexIndex, five.vertexIndex + 4), std::vector<int>(4, 0))
        << "V( of a 5-corner face is not read";
    EXPECT_EQ(five.uv[0], 0.0f);
    EXPECT_EQ(five.material, 1);
}

TEST(ModelReaderFaces, KeywordsAreWholeFirstWords)
{
    FileGuard g;
    loadText(&g.file, "Object \"o\" {\n\tfacet 59.5\n\tvertexattr {\n\t\tvertex 9 {\n\t\t}\n\t}\n"
                      "\tvisible 0\n\tvertex 1 {\n\t\t1 2 3\n\t}\n"
                      "\tface 1 {\n\t\t3 V(0 0 0)\n\t}\n}\n");
    ASSERT_EQ(g.file.objectCount, 1);
    const ModelObject& o = g.file.objects[0];
    EXPECT_EQ(o.visible, 0) << "the object went on after the vertexattr chunk";
    ASSERT_EQ(o.vertexCount, 1) << "'vertex 9' inside vertexattr is not the object's";
    EXPECT_EQ(o.vertices[0].z, 3.0f);
    EXPECT_EQ(o.faceCount, 1) << "'facet 59.5' must not be read as a face header";
}

TEST(ModelReaderFaces, FieldsInAnyOrderWithColoursAndCreases)
{
    FileGuard g;
    loadText(&g.file, objectWithFaces({"4 UV(0 0 1 0 1 1 0 1) COL(4294967295 1 2 3) M(2) "
                                       "CRS(0.5 0.5 0.5 0.5) V(3 2 1 0)",
                                       "3 M(1) UID(7) V(0 1 2)"}));
    const ModelObject& o = g.file.objects[0];
    ASSERT_EQ(o.faceCount, 2);
    const ModelFace& quad = o.faces[0];
    EXPECT_EQ(std::vector<int>(quad.vertexIndex, quad.vertexIndex + 4),
              (std::vector<int>{3, 2, 1, 0}))
        << "V( is not taken from inside UV(";
    EXPECT_EQ(std::vector<float>(quad.uv, quad.uv + 8),
              (std::vector<float>{0, 0, 1, 0, 1, 1, 0, 1}));
    EXPECT_EQ(quad.material, 2);
    EXPECT_EQ(o.faces[1].material, 1);
    EXPECT_EQ(o.faces[1].vertexIndex[2], 2);
}

// ---- Materials -------------------------------------------------------------------------

TEST(ModelReaderMaterials, ColourProductsIncludeAlpha)
{
    FileGuard g;
    loadText(&g.file,
             materialChunk({"\"a\" col(1 0 0 0.5) dif(0.8) amb(0.6) emi(0.25) spc(0.5) power(5)",
                            "\"b\" col(1 1 1 1) dif(0.5) amb(0.25) emi(0) spc(1) power(30)"}));
    ASSERT_EQ(g.file.materialCount, 2);
    ASSERT_EQ(g.file.newMaterials, 1);
    const ModelMaterial& a = g.file.materials[0];
    expectVec4(a.colour, 1, 0, 0, 0.5f, "colour");
    expectVec4(a.diffuse, 0.8f, 0, 0, 0.4f, "diffuse");
    expectVec4(a.ambient, 0.6f, 0, 0, 0.3f, "ambient");
    expectVec4(a.emission, 0.25f, 0, 0, 0.125f, "emission");
    expectVec4(a.specular, 0.5f, 0, 0, 0.25f, "specular");
    const ModelMaterial& b = g.file.materials[1];
    expectVec4(b.diffuse, 0.5f, 0.5f, 0.5f, 0.5f, "diffuse b");
    expectVec4(b.emission, 0, 0, 0, 0, "emission b");
    EXPECT_FLOAT_EQ(b.power, 30.0f);
    EXPECT_EQ(b.hasTexture, 0);
    EXPECT_STREQ(b.textureFile, "");
}

TEST(ModelReaderMaterials, TextureNameEndsAtQuoteAndParenthesis)
{
    FileGuard g;
    loadText(
        &g.file,
        materialChunk({"\"m\" col(1 1 1 1) dif(1) amb(0) emi(0) spc(0) power(0) tex(\"wood.bmp\")",
                       "\"m\" col(1 1 1 1) tex(\"my \"odd\" name.bmp\") aplane(1)",
                       "\"m\" col(1 1 1 1) tex(\"never closed.bmp",
                       "\"m\" col(1 1 1 1) tex(\"never closed either.bmp\"",
                       "\"m\" col(1 1 1 1) tex("}));
    ASSERT_EQ(g.file.materialCount, 5);
    EXPECT_EQ(g.file.materials[0].hasTexture, 1);
    EXPECT_STREQ(g.file.materials[0].textureFile, "wood.bmp");
    EXPECT_STREQ(g.file.materials[1].textureFile, "my \"odd\" name.bmp");
    for (int k = 2; k < 5; ++k) {
        EXPECT_EQ(g.file.materials[k].hasTexture, 0) << "material " << k;
        EXPECT_STREQ(g.file.materials[k].textureFile, "") << "material " << k;
    }
}

TEST(ModelReaderMaterials, FieldsAreReadByNameAndMissingOnesAreWhite)
{
    FileGuard g;
    loadText(&g.file,
             materialChunk({"\"no colour\" dif(0.2)", "\"red, cut short\" col(1 0 0 1) dif(0.5)",
                            "\"xcol(1 0 0 1)\" col(0 1 0 1) dif(0.5)",
                            "\"mat6\" shader(3) vcol(1) dbls(1) power(5.00) spc(0.25) "
                            "tex(\"hane (2).png\") emi(0.400) amb(0.500) dif(0.800) "
                            "col(1.000 0.500 0.250 1.000) aplane(\"a.png\") "
                            "proj_type(1) proj_pos(0 0 0)"}));
    ASSERT_EQ(g.file.materialCount, 4);
    const ModelMaterial* m = g.file.materials;
    expectVec4(m[0].colour, 1, 1, 1, 1, "no col(");
    expectVec4(m[0].diffuse, 0.2f, 0.2f, 0.2f, 0.2f, "no col(, dif 0.2");
    expectVec4(m[0].ambient, 0, 0, 0, 0, "no col(");
    EXPECT_STREQ(m[0].name, "no colour");
    expectVec4(m[1].diffuse, 0.5f, 0, 0, 0.5f, "cut short");
    expectVec4(m[1].specular, 0, 0, 0, 0, "cut short");
    EXPECT_FLOAT_EQ(m[1].power, 0.0f);
    expectVec4(m[2].colour, 0, 1, 0, 1, "col( in the name is not read");
    expectVec4(m[3].colour, 1, 0.5f, 0.25f, 1, "mat6 colour");
    expectVec4(m[3].diffuse, 0.8f, 0.4f, 0.2f, 0.8f, "mat6 diffuse");
    expectVec4(m[3].ambient, 0.5f, 0.25f, 0.125f, 0.5f, "mat6 ambient");
    expectVec4(m[3].emission, 0.4f, 0.2f, 0.1f, 0.4f, "mat6 emission");
    expectVec4(m[3].specular, 0.25f, 0.125f, 0.0625f, 0.25f, "mat6 specular");
    EXPECT_FLOAT_EQ(m[3].power, 5.0f);
    EXPECT_STREQ(m[3].textureFile, "hane (2).png");
}

// ---- Table carry-over ---------------------------------------------------------------------

TEST(ModelReaderSequence, MaterialTableCarriesToFilesWithoutOne)
{
    FileGuard g;
    loadText(&g.file, materialChunk({"\"r\" col(1 0 0 1) dif(1)", "\"g\" col(0 1 0 1) dif(1)"}) +
                          objectWithFaces({"3 V(0 1 2) M(1)"}) + objectWithFaces({"3 V(0 1 2)"}));
    EXPECT_EQ(g.file.objectCount, 2);
    const ModelMaterial* first = g.file.materials;

    loadText(&g.file, objectWithFaces({"4 V(0 1 2 3) M(1)"}));
    EXPECT_EQ(g.file.newMaterials, 0);
    EXPECT_EQ(g.file.objectCount, 1) << "the object table restarts for every file";
    EXPECT_EQ(g.file.objects[0].faces[0].vertexCount, 4);
    EXPECT_EQ(g.file.objects[1].faces, nullptr) << "the previous file's second object is released";
    ASSERT_EQ(g.file.materials, first);
    EXPECT_EQ(g.file.materialCount, 2);
    EXPECT_FLOAT_EQ(g.file.materials[1].colour[1], 1.0f);

    loadText(&g.file,
             materialChunk({"\"b\" col(0 0 1 1) dif(1)"}) + objectWithFaces({"3 V(0 1 2)"}));
    EXPECT_EQ(g.file.newMaterials, 1);
    ASSERT_EQ(g.file.materialCount, 1);
    EXPECT_FLOAT_EQ(g.file.materials[0].colour[2], 1.0f);
}

TEST(ModelReaderSequence, FirstFileWithoutMaterialsHasNoTable)
{
    FileGuard g;
    loadText(&g.file, objectWithFaces({"3 V(0 1 2)"}));
    EXPECT_EQ(g.file.materials, nullptr);
    EXPECT_EQ(g.file.materialCount, 0);
    EXPECT_EQ(g.file.newMaterials, 0);
}

// ---- Limits ----------------------------------------------------------------------------------
// Every case here would write or read outside a table if a limit were not kept; the
// sanitizer build turns such a slip into a failure.

TEST(ModelReaderLimits, LinesBeyondTheHeaderCountAreIgnoredAndMissingOnesStayZero)
{
    FileGuard g;
    loadText(&g.file,
             "Material 1 {\n\"a\" col(1 0 0 1)\n\"b\" col(0 1 0 1)\n\"c\" col(0 0 1 1)\n}\n"
             "Object \"o\" {\n\tvertex 2 {\n\t\t1 1 1\n\t\t2 2 2\n\t\t3 3 3\n\t\t4 4 4\n\t}\n"
             "\tface 3 {\n\t\t3 V(0 1 0)\n\t}\n}\n");
    ASSERT_EQ(g.file.materialCount, 1);
    EXPECT_FLOAT_EQ(g.file.materials[0].colour[0], 1.0f);
    const ModelObject& o = g.file.objects[0];
    ASSERT_EQ(o.vertexCount, 2);
    EXPECT_FLOAT_EQ(o.vertices[1].x, 2.0f);
    ASSERT_EQ(o.faceCount, 3);
    EXPECT_EQ(o.faces[0].vertexCount, 3);
    EXPECT_EQ(o.faces[1].vertexCount, 0) << "a face without a line is not drawable";
    EXPECT_EQ(o.faces[2].vertexCount, 0);
}

TEST(ModelReaderLimits, NegativeAndHugeCountsAreBounded)
{
    FileGuard g;
    loadText(&g.file, "Material -3 {\n\"a\" col(1 0 0 1)\n}\n"
                      "Object \"o\" {\n\tvertex -5 {\n\t\t1 1 1\n\t}\n\tface 2000000000 {\n\t\t3 "
                      "V(0 1 2)\n\t}\n}\n");
    EXPECT_EQ(g.file.materialCount, 0);
    EXPECT_EQ(g.file.materials, nullptr);
    const ModelObject& o = g.file.objects[0];
    EXPECT_EQ(o.vertexCount, 0);
    EXPECT_EQ(o.vertices, nullptr);
    EXPECT_EQ(o.faceCount, kModelMaxFaces);
    EXPECT_EQ(o.faces[0].vertexCount, 3);
    EXPECT_EQ(o.faces[kModelMaxFaces - 1].vertexCount, 0);
}

TEST(ModelReaderLimits, ObjectsPastThirtyAreDroppedWhole)
{
    std::string text;
    for (int i = 0; i < kModelMaxObjects + 2; ++i) {
        text += "Object \"o" + std::to_string(i) + "\" {\n\tvertex 1 {\n\t\t" + std::to_string(i) +
                " 0 0\n\t}\n}\n";
    }
    // A dropped object whose lines would be taken for a material chunk if they were
    // examined at file level.
    text += "Object \"late\" {\n\tvertex 1 {\n\t\tMaterial 1 {\n\t}\n}\n";
    FileGuard g;
    loadText(&g.file, text);
    ASSERT_EQ(g.file.objectCount, kModelMaxObjects);
    EXPECT_FLOAT_EQ(g.file.objects[kModelMaxObjects - 1].vertices[0].x, kModelMaxObjects - 1.0f);
    EXPECT_EQ(g.file.materials, nullptr);
}

TEST(ModelReaderLimits, IncompleteObjectsAndChunksCutByTheEndOfFile)
{
    FileGuard g;
    loadText(&g.file,
             "Object \"bare\" {\n}\nObject \"cut\" {\n\tvisible 0\n\tvertex 3 {\n\t\t1 2 3\n");
    ASSERT_EQ(g.file.objectCount, 2);
    EXPECT_EQ(g.file.objects[0].visible, 1) << "no visible line: visible";
    EXPECT_EQ(g.file.objects[0].vertexCount, 0);
    EXPECT_EQ(g.file.objects[0].faceCount, 0);
    EXPECT_EQ(g.file.objects[1].visible, 0);
    ASSERT_EQ(g.file.objects[1].vertexCount, 3);
    EXPECT_FLOAT_EQ(g.file.objects[1].vertices[0].z, 3.0f);
}

TEST(ModelReaderLimits, LinesOfAnyLengthAreReadWhole)
{
    // A 100,000-character line inside the object, with a '}' far along it, and a
    // material whose texture name comes after 50,000 characters of other fields.
    std::string longLine(100000, 'x');
    std::string fields;
    for (int i = 0; i < 5000; ++i) fields += " vcol(1)  ";
    FileGuard g;
    loadText(&g.file, materialChunk({"\"m\" col(0 0 1 1)" + fields + "tex(\"far.png\")"}) +
                          "Object \"o\" {\n\t" + longLine + " }\n\tvisible 0\n}\n");
    ASSERT_EQ(g.file.objectCount, 1);
    EXPECT_EQ(g.file.objects[0].visible, 0) << "the '}' inside the long line ended the object";
    ASSERT_EQ(g.file.materialCount, 1);
    EXPECT_STREQ(g.file.materials[0].textureFile, "far.png");
}

// ---- Files as modellers save them ------------------------------------------------------

// Everything a file's drawing depends on, as text, names left out: two files that
// dump the same draw the same.
std::string dump(const ModelFile& f)
{
    std::string s;
    char b[160];
    for (int k = 0; k < f.materialCount; ++k) {
        const ModelMaterial& m = f.materials[k];
        std::snprintf(b, sizeof(b),
                      "material %g %g %g %g dif %g amb %g emi %g spc %g pow %g tex %d ",
                      m.colour[0], m.colour[1], m.colour[2], m.colour[3], m.diffuse[0],
                      m.ambient[0], m.emission[0], m.specular[0], m.power, m.hasTexture);
        s += b + std::string(m.textureFile) + "\n";
    }
    for (int i = 0; i < f.objectCount; ++i) {
        const ModelObject& o = f.objects[i];
        std::snprintf(b, sizeof(b), "object visible %d mirror %d/%d vertices %d faces %d\n",
                      o.visible, o.mirror, o.mirrorAxis, o.vertexCount, o.faceCount);
        s += b;
        for (int v = 0; v < o.vertexCount; ++v) {
            std::snprintf(b, sizeof(b), " %g %g %g", o.vertices[v].x, o.vertices[v].y,
                          o.vertices[v].z);
            s += b;
        }
        for (int j = 0; j < o.faceCount; ++j) {
            const ModelFace& fc = o.faces[j];
            std::snprintf(b, sizeof(b), "\n face %d m %d v %d %d %d %d uv %g %g %g %g %g %g %g %g",
                          fc.vertexCount, fc.material, fc.vertexIndex[0], fc.vertexIndex[1],
                          fc.vertexIndex[2], fc.vertexIndex[3], fc.uv[0], fc.uv[1], fc.uv[2],
                          fc.uv[3], fc.uv[4], fc.uv[5], fc.uv[6], fc.uv[7]);
            s += b;
        }
        s += "\n";
    }
    return s;
}

std::string dumpText(const std::string& text)
{
    FileGuard g;
    loadText(&g.file, text);
    return dump(g.file);
}

// Two materials and two objects; the names are filled in by `name`.
std::string namedModel(const std::string& name)
{
    return "Format Text Ver 1.0\n\nIncludeXml \"" + name +
           ".xml\"\nMaterial 2 {\n"
           "\t\"" +
           name +
           "\" col(1 0 0 1) dif(0.8) amb(0.5) emi(0) spc(0) power(5)\n"
           "\t\"" +
           name +
           "\" col(0 0 1 0.5) dif(1) amb(0.25) emi(0) spc(0.5) power(30) tex(\"t.png\")\n"
           "}\nObject \"" +
           name +
           "\" {\n\tvisible 15\n\tvertex 3 {\n\t\t0 0 0\n\t\t1 0 0\n"
           "\t\t0 1 0\n\t}\n\tface 1 {\n\t\t3 V(0 1 2) M(1) UV(0 0 1 0 0 1)\n\t}\n}\n"
           "Object \"" +
           name + "\" {\n\tvisible 0\n\tvertex 1 {\n\t\t5 5 5\n\t}\n}\nEof\n";
}

TEST(ModelReaderModellerFiles, EveryKeywordInANameChangesNothing)
{
    const std::string control = dumpText(namedModel("plain"));
    ASSERT_NE(control.find("faces 1"), std::string::npos) << control;
    const char* names[] = {
        "Material", "Object",      "MaterialBox",  "vertex",      "vertex 9 {",
        "BVertex",  "face",        "face 7 {",     "visible",     "visible 0",
        "mirror",   "mirror_axis", "Scene {",      "Eof",         "}",
        "{",        "} }",         "col(0 1 0 1)", "tex(",        "dif(0) power(9)",
        "V(9 9 9)", "M(5)",        "UV(",          "Vector 12 [", "Material 1 {"};
    for (const char* name : names) {
        EXPECT_EQ(dumpText(namedModel(name)), control) << "named \"" << name << "\"";
    }
}

TEST(ModelReaderModellerFiles, UnknownChunksAreSkippedByBraceDepth)
{
    const std::string expected = dumpText(namedModel("plain"));
    std::string text = namedModel("plain");
    // A Ver 1.1 file: Scene with nested chunks, a back image, an extended material
    // chunk and a thumbnail before the materials, per-object chunks inside the objects.
    text.replace(0, std::strlen("Format Text Ver 1.0\n\n"),
                 "Format Text Ver 1.1\n\nIncludeXml \"a.xml\"\n"
                 "Scene {\n\tpos 0 0 1500\n\tamb 0.25 0.25 0.25\n\tdirlights 1 {\n"
                 "\t\tlight {\n\t\t\tdir 0.408 0.408 0.816\n\t\t\tcolor 1 1 1\n\t\t}\n\t}\n}\n"
                 "BackImage {\n\tpers \"x}.bmp\" 0 0 1 1\n}\n"
                 "MaterialEx2 1 {\n\tmaterial 0 {\n\t\tshadertype hlsl\n\t\tMaterial 9 {\n"
                 "\t\t}\n\t}\n}\n"
                 "Thumbnail 2 2 24 rgb raw 64 {\n\tffffff{ff\n\t}00ff00\n\t0000ff\n}\n");
    const std::string object = "Object \"plain\" {\n";
    for (size_t at = text.find(object); at != std::string::npos; at = text.find(object, at + 1)) {
        text.insert(at + object.size(),
                    "\tuid 3\n\tdepth 0\n\tvertexattr {\n\t\tuid {\n\t\t\t1\n\t\t}\n"
                    "\t\tweit {\n\t\t\t0 \"{{\" 1\n\t\t}\n\t}\n\tcolor 0.9 0.5 0.7\n");
    }
    EXPECT_EQ(dumpText(text), expected);
    // CR LF line ends read the same.
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(dumpText(crlf), expected);
}

std::string floatBytes(const std::vector<float>& values)
{
    std::string b;
    for (float f : values) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        for (int i = 0; i < 4; ++i) b += static_cast<char>((u >> (8 * i)) & 0xff);
    }
    return b;
}

TEST(ModelReaderModellerFiles, BinaryVerticesInEitherLayout)
{
    // Coordinates whose bytes hold a line end, a brace and a bracket.
    const std::vector<float> xyz = {0.0f, 1.0f, 2.0f, -3.5f, 1e-38f, 100.25f, 10.0f, 125.0f, 93.0f};
    std::vector<float> tricky = xyz;
    const char special[] = {'\n', '}', ']', '\r'};
    for (int i = 0; i < 4; ++i) {
        uint32_t u = 0x3f800000u | static_cast<unsigned char>(special[i]);
        std::memcpy(&tricky[i], &u, 4);
    }
    auto object = [](const std::string& vector, int count) {
        return "Object \"b\" {\n\tvisible 15\n\tBVertex " + std::to_string(count) +
               " {\n\t\tVector " + vector +
               // Binary blocks of other data, nested in BVertex and in the object, whose
               // bytes hold braces: neither is vertices, neither ends a chunk.
               "\n\t\tweit {\n\t\t\tVector 12 [}}}}{{{{\n}}}]\n\t\t}\n\t}\n"
               "\tvertexattr {\n\t\tBWeit 1 {\n\t\t\tVector 8 [{{{{\n{{{]\n\t\t}\n\t}\n"
               "\tface 1 {\n\t\t3 V(0 1 2)\n\t}\n}\n";
    };
    for (const std::string& after : {std::string(""), std::string("\r\n"), std::string("\n")}) {
        FileGuard g;
        loadText(&g.file, object("36 [" + after + floatBytes(tricky) + "]", 3));
        ASSERT_EQ(g.file.objectCount, 1);
        const ModelObject& o = g.file.objects[0];
        ASSERT_EQ(o.vertexCount, 3);
        for (int v = 0; v < 3; ++v) {
            EXPECT_EQ(o.vertices[v].x, tricky[3 * v])
                << "vertex " << v << " after '[' " << after.size();
            EXPECT_EQ(o.vertices[v].y, tricky[3 * v + 1]) << "vertex " << v;
            EXPECT_EQ(o.vertices[v].z, tricky[3 * v + 2]) << "vertex " << v;
        }
        EXPECT_EQ(o.faceCount, 1) << "the face chunk after the binary block";
    }
    // More bytes than the count: the rest is skipped; fewer: missing vertices stay 0.
    {
        FileGuard g;
        loadText(&g.file, object("36 [" + floatBytes(xyz) + "]", 2));
        ASSERT_EQ(g.file.objects[0].vertexCount, 2);
        EXPECT_EQ(g.file.objects[0].vertices[1].z, 100.25f);
        EXPECT_EQ(g.file.objects[0].faceCount, 1);
    }
    {
        FileGuard g;
        loadText(&g.file, object("24 [" + floatBytes({1, 2, 3, 4, 5, 6}) + "]", 3));
        ASSERT_EQ(g.file.objects[0].vertexCount, 3);
        EXPECT_EQ(g.file.objects[0].vertices[1].x, 4.0f);
        EXPECT_EQ(g.file.objects[0].vertices[2].x, 0.0f);
        EXPECT_EQ(g.file.objects[0].faceCount, 1);
    }
}

TEST(ModelReaderModellerFiles, NamesAndMirrorsAreKept)
{
    FileGuard g;
    loadText(&g.file, "Object \"bdef:body\" {\n\tmirror 1\n\tmirror_axis 5\n\tmirror_dis 1.0\n}\n"
                      "Object \"half\" {\n\tmirror 2\n}\nObject plain {\n}\n");
    ASSERT_EQ(g.file.objectCount, 3);
    EXPECT_STREQ(g.file.objects[0].name, "bdef:body");
    EXPECT_EQ(g.file.objects[0].mirror, 1);
    EXPECT_EQ(g.file.objects[0].mirrorAxis, 5);
    EXPECT_EQ(g.file.objects[1].mirror, 2);
    EXPECT_EQ(g.file.objects[1].mirrorAxis, 1) << "x when the axis line is missing";
    EXPECT_STREQ(g.file.objects[2].name, "");
    EXPECT_EQ(g.file.objects[2].mirror, 0);
}

// ---- Texture paths ----------------------------------------------------------------------

TEST(ModelTexturePath, ResolvesAgainstTheModelDirectory)
{
    struct Case {
        const char* model;
        const char* texture;
        const char* expected;
    };
    const Case cases[] = {
        {"data/anim/run0.mqo", "skin.bmp", "data/anim/skin.bmp"},
        {"data/anim/run0.mqo", "D:\\tex\\skin.bmp", "D:\\tex\\skin.bmp"},
        {"run0.mqo", "skin.bmp", "skin.bmp"},
        {"data\\anim/run0.mqo", "skin.bmp", "data\\anim/skin.bmp"},
        {"data/anim\\run0.mqo", "skin.bmp", "data/anim\\skin.bmp"},
        {"data/run0.mqo", "/abs.bmp", "data//abs.bmp"},
    };
    for (const Case& c : cases) {
        char path[kModelPathSize];
        EXPECT_EQ(modelTexturePath(c.model, c.texture, path), 0) << c.model << " + " << c.texture;
        EXPECT_STREQ(path, c.expected) << c.model << " + " << c.texture;
    }
}

TEST(ModelTexturePath, RefusesPathsLongerThan255)
{
    char path[kModelPathSize];
    const std::string dir(200, 'd');
    const std::string fits(255 - 201, 'n');
    EXPECT_EQ(modelTexturePath((dir + "/m0.mqo").c_str(), fits.c_str(), path), 0);
    EXPECT_EQ(std::strlen(path), 255u);
    EXPECT_EQ(modelTexturePath((dir + "/m0.mqo").c_str(), (fits + "n").c_str(), path), -1);
    EXPECT_STREQ(path, "");
    const std::string longDir(300, 'd');
    EXPECT_EQ(modelTexturePath((longDir + "/m0.mqo").c_str(), "t.bmp", path), -1);
    EXPECT_EQ(modelTexturePath((longDir + "/m0.mqo").c_str(), "C:t.bmp", path), 0)
        << "a name with ':' ignores the directory";
}

// ---- Face normals -------------------------------------------------------------------------

TEST(ModelFaceNormal, FollowsCornerOrderAndIsUnitLength)
{
    const ModelVertex o{0, 0, 0}, x{1, 0, 0}, y{0, 1, 0};
    const auto n1 = modelFaceNormal(o, x, y);
    EXPECT_EQ(n1, (std::array<float, 3>{0, 0, -1}));
    const auto n2 = modelFaceNormal(x, o, y);
    EXPECT_EQ(n2, (std::array<float, 3>{0, 0, 1}));
    const auto n3 = modelFaceNormal({0, 0, 0}, {0, 0, 3}, {4, 0, 3});
    EXPECT_FLOAT_EQ(n3[1], -1.0f);
    const auto d = modelFaceNormal({1, 1, 1}, {2, 2, 2}, {3, 3, 3});
    EXPECT_EQ(d, (std::array<float, 3>{0, 1, 0})) << "collinear corners get model up";
}

// ---- Texture images ------------------------------------------------------------------------

std::vector<uint32_t> bands(int w, const std::vector<uint32_t>& topToBottom)
{
    std::vector<uint32_t> px;
    for (int r = 0; r < w; ++r) px.insert(px.end(), w, topToBottom[r * topToBottom.size() / w]);
    return px;
}

struct Texels {
    std::unique_ptr<unsigned char, decltype(&std::free)> data{nullptr, &std::free};
    int size = -7;
    uint32_t rgb(int row, int col) const
    {
        const unsigned char* t = data.get() + (static_cast<size_t>(row) * size + col) * 4;
        return (t[0] << 16) | (t[1] << 8) | t[2];
    }
    int alpha(int row, int col) const
    {
        return data.get()[(static_cast<size_t>(row) * size + col) * 4 + 3];
    }
};

Texels loadBitmap(const std::string& bytes)
{
    Texels t;
    t.data.reset(modelLoadTexture(streamOf(bytes), &t.size));
    return t;
}

TEST(ModelLoadTexture, BottomUpRowsBecomeTopDownRgba)
{
    // Image rows from the top: white, red, green, blue; so file rows from the first
    // are blue, green, red, white.
    const Texels t =
        loadBitmap(support::bitmapBytes(4, 4, bands(4, {0xffffff, 0xff0000, 0x00ff00, 0x0000ff})));
    ASSERT_NE(t.data.get(), nullptr);
    ASSERT_EQ(t.size, 4);
    const uint32_t expected[4] = {0xffffff, 0xff0000, 0x00ff00, 0x0000ff};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(t.rgb(r, c), expected[r]) << "row " << r << " col " << c;
            EXPECT_EQ(t.alpha(r, c), 255);
        }
    }
    std::vector<uint32_t> one(16, 0);
    one[15] = 0x1e140a;  // stored as bytes 10, 20, 30 (blue, green, red)
    const Texels p = loadBitmap(support::bitmapBytes(4, 4, one));
    const unsigned char* last = p.data.get() + 15 * 4;
    EXPECT_EQ(std::vector<int>(last, last + 4), (std::vector<int>{30, 20, 10, 255}));
}

TEST(ModelLoadTexture, HeightFieldIsNotRead)
{
    const Texels t =
        loadBitmap(support::bitmapBytes(64, 64, bands(64, {0xff0000, 0x0000ff}), 64, 32));
    ASSERT_EQ(t.size, 64);
    EXPECT_EQ(t.rgb(0, 5), 0xff0000u);
    EXPECT_EQ(t.rgb(63, 5), 0x0000ffu) << "the 64th row is read although the height says 32";
}

TEST(ModelLoadTexture, NarrowBitmapsSkipTheirRowPadding)
{
    // 2 x 2: rows of 6 bytes padded to 8.
    const Texels t =
        loadBitmap(support::bitmapBytes(2, 2, {0x112233, 0x445566, 0x778899, 0xaabbcc}));
    ASSERT_EQ(t.size, 2);
    EXPECT_EQ(t.rgb(0, 0), 0x112233u);
    EXPECT_EQ(t.rgb(0, 1), 0x445566u);
    EXPECT_EQ(t.rgb(1, 0), 0x778899u);
    EXPECT_EQ(t.rgb(1, 1), 0xaabbccu);
}

TEST(ModelLoadTexture, TruncatedPixelsAreBlack)
{
    std::string bytes = support::bitmapBytes(8, 8, std::vector<uint32_t>(64, 0xffffff));
    // Keep the bottom two rows and half a pixel of the third.
    bytes.resize(54 + 2 * 24 + 1);
    const Texels t = loadBitmap(bytes);
    ASSERT_EQ(t.size, 8);
    for (int r = 0; r < 8; ++r) {
        const uint32_t expected = r >= 6 ? 0xffffff : 0;
        for (int c = 0; c < 8; ++c) {
            ASSERT_EQ(t.rgb(r, c), expected) << "row " << r << " col " << c;
            ASSERT_EQ(t.alpha(r, c), 255);
        }
    }
    const Texels headerOnly = loadBitmap(support::bitmapBytes(0, 0, {}, 4, 4));
    ASSERT_EQ(headerOnly.size, 4);
    EXPECT_EQ(headerOnly.rgb(3, 3), 0u);
}

TEST(ModelLoadTexture, RejectsWidthsGlCannotTakeAndLeavesSizeAlone)
{
    const int32_t bad[] = {0, -4, 3, 12, 48, kModelMaxTextureWidth * 2, 1 << 30, INT32_MIN};
    for (int32_t w : bad) {
        const Texels t = loadBitmap(support::bitmapBytes(0, 0, {}, w, w));
        EXPECT_EQ(t.data.get(), nullptr) << "width " << w;
        EXPECT_EQ(t.size, -7) << "width " << w;
    }
    const Texels largest = loadBitmap(support::bitmapBytes(0, 0, {}, kModelMaxTextureWidth, 1));
    EXPECT_EQ(largest.size, kModelMaxTextureWidth) << "the largest width is still taken";
    const Texels tiny = loadBitmap(std::string("BM\0\0", 4));
    EXPECT_EQ(tiny.data.get(), nullptr) << "a file shorter than its width field";
}

// ---- Shipped sample models ----------------------------------------------------------------

const std::string kModels = std::string(TARLIM_SOURCE_DIR) + "/data/models";

struct Bounds {
    float lo[3] = {1e9f, 1e9f, 1e9f};
    float hi[3] = {-1e9f, -1e9f, -1e9f};
};

// Loads every frame of a shipped sequence the way the viewer does (one working
// state), checks that every face is drawable, and returns the bounds of each frame.
std::vector<Bounds> checkSequence(const std::string& prefix, int frames, ModelFile* file)
{
    std::vector<Bounds> result;
    for (int i = 0; i < frames; ++i) {
        const std::string path = prefix + std::to_string(i) + ".mqo";
        FILE* fp = std::fopen(path.c_str(), "r");
        EXPECT_NE(fp, nullptr) << path;
        if (fp == nullptr) return result;
        modelLoadFile(fp, file);
        std::fclose(fp);
        EXPECT_EQ(file->newMaterials, 1) << path << " carries its own materials";
        EXPECT_GT(file->objectCount, 0) << path;
        Bounds b;
        for (int k = 0; k < file->objectCount; ++k) {
            const ModelObject& o = file->objects[k];
            EXPECT_NE(o.visible, 0) << path << " object " << k;
            for (int j = 0; j < o.faceCount; ++j) {
                const ModelFace& f = o.faces[j];
                bool drawable = (f.vertexCount == 3 || f.vertexCount == 4) && f.material >= 0 &&
                                f.material < file->materialCount;
                for (int c = 0; drawable && c < f.vertexCount; ++c) {
                    drawable = f.vertexIndex[c] >= 0 && f.vertexIndex[c] < o.vertexCount;
                }
                if (!drawable) {
                    ADD_FAILURE() << path << " object " << k << " face " << j << " is not drawable";
                    return result;
                }
            }
            for (int v = 0; v < o.vertexCount; ++v) {
                const float p[3] = {o.vertices[v].x, o.vertices[v].y, o.vertices[v].z};
                for (int a = 0; a < 3; ++a) {
                    b.lo[a] = std::min(b.lo[a], p[a]);
                    b.hi[a] = std::max(b.hi[a], p[a]);
                }
            }
        }
        result.push_back(b);
    }
    return result;
}

// Drawn with scale 1 on an 80 mm marker: the model stands on y = 0 and stays over
// the marker's square (|x|, |z| <= 40 mm), not taller than the marker is wide.
void expectStandsOnMarker(const std::vector<Bounds>& frames, const std::string& name)
{
    for (size_t i = 0; i < frames.size(); ++i) {
        const Bounds& b = frames[i];
        EXPECT_NEAR(b.lo[1], 0.0f, 1e-3f) << name << " frame " << i << " lowest point";
        EXPECT_LE(b.hi[1], 80.0f) << name << " frame " << i;
        for (int a : {0, 2}) {
            EXPECT_GE(b.lo[a], -40.0f) << name << " frame " << i << " axis " << a;
            EXPECT_LE(b.hi[a], 40.0f) << name << " frame " << i << " axis " << a;
        }
    }
}

TEST(ModelSamples, TexturedCubeStandsOnItsMarkerAndItsImageLoads)
{
    FileGuard g;
    const std::vector<Bounds> frames = checkSequence(kModels + "/cube/cube", 12, &g.file);
    ASSERT_EQ(frames.size(), 12u);
    expectStandsOnMarker(frames, "cube");
    EXPECT_NE(frames[0].hi[0], frames[1].hi[0]) << "the cube turns";
    ASSERT_GT(g.file.materialCount, 0);
    for (int k = 0; k < g.file.materialCount; ++k) {
        ASSERT_EQ(g.file.materials[k].hasTexture, 1) << "material " << k;
        char path[kModelPathSize];
        ASSERT_EQ(modelTexturePath((kModels + "/cube/cube11.mqo").c_str(),
                                   g.file.materials[k].textureFile, path),
                  0);
        FILE* fp = std::fopen(path, "rb");
        ASSERT_NE(fp, nullptr) << path;
        int size = 0;
        std::unique_ptr<unsigned char, decltype(&std::free)> texels(modelLoadTexture(fp, &size),
                                                                    &std::free);
        EXPECT_NE(texels.get(), nullptr) << path;
        EXPECT_EQ(size, 64) << path;
    }
}

TEST(ModelSamples, RobotWavesWithSeveralUntexturedMaterials)
{
    FileGuard g;
    const std::vector<Bounds> frames = checkSequence(kModels + "/robot/robot", 24, &g.file);
    ASSERT_EQ(frames.size(), 24u);
    expectStandsOnMarker(frames, "robot");
    EXPECT_NE(frames[0].hi[0], frames[6].hi[0]) << "the arm moves";
    EXPECT_GE(g.file.materialCount, 3);
    for (int k = 0; k < g.file.materialCount; ++k)
        EXPECT_EQ(g.file.materials[k].hasTexture, 0) << "material " << k;
    std::FILE* beyond = std::fopen((kModels + "/robot/robot24.mqo").c_str(), "r");
    EXPECT_EQ(beyond, nullptr) << "24 frames, numbered 0 to 23";
    if (beyond != nullptr) std::fclose(beyond);
}

TEST(ModelSamples, HouseIsAModellersFileWithPngAndJpegTextures)
{
    const std::string path = kModels + "/house/house0.mqo";
    const std::string bytes = support::slurp(path);
    EXPECT_EQ(bytes.rfind("Format Text Ver 1.1\r\n", 0), 0u);
    for (const char* part : {"\r\nScene {\r\n", "\tBVertex 8 {\r\n", "\tmirror_axis 1\r\n"})
        EXPECT_NE(bytes.find(part), std::string::npos) << part;
    FileGuard g;
    FILE* fp = std::fopen(path.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    modelLoadFile(fp, &g.file);
    std::fclose(fp);
    ASSERT_EQ(g.file.objectCount, 4);
    EXPECT_EQ(g.file.objects[0].vertexCount, 8) << "binary vertices";
    EXPECT_EQ(g.file.objects[1].mirror, 1);
    float lo[3], hi[3];
    ASSERT_EQ(modelBounds(&g.file, lo, hi), 0);
    Bounds b;
    std::copy(lo, lo + 3, b.lo);
    std::copy(hi, hi + 3, b.hi);
    expectStandsOnMarker({b}, "house");
    EXPECT_FLOAT_EQ(lo[0], -hi[0]) << "the mirrored roof half makes the house symmetric";
    struct Expected {
        int material, width, height, format, transparent;
    };
    for (const Expected& e :
         {Expected{0, 96, 64, kModelImageJpeg, 0}, Expected{3, 64, 32, kModelImagePng, 1}}) {
        char texture[kModelPathSize];
        ASSERT_EQ(modelTexturePath(path.c_str(), g.file.materials[e.material].textureFile, texture),
                  0);
        ModelImage image;
        char reason[kModelReasonSize];
        ASSERT_EQ(modelReadImage(texture, &image, reason, sizeof reason), 0)
            << texture << ": " << reason;
        EXPECT_EQ(image.width, e.width) << texture;
        EXPECT_EQ(image.height, e.height) << texture;
        EXPECT_EQ(image.format, e.format) << texture;
        EXPECT_EQ(image.transparent, e.transparent) << texture;
    }
}

// The shipped files are exactly what the generator writes: regenerate them with
// build/tools/tarlim-modelgen data/models after changing it.
TEST(ModelSamples, ShippedFilesAreTheGeneratorsOutput)
{
    namespace fs = std::filesystem;
    const fs::path out =
        fs::temp_directory_path() / ("tarlim_modelgen_" + std::to_string(::getpid()));
    const std::string cmd =
        std::string(TARLIM_BINARY_DIR) + "/tools/tarlim-modelgen " + out.string();
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const auto bytes = support::slurp;
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
        if (!entry.is_regular_file()) continue;
        const fs::path shipped = fs::path(kModels) / fs::relative(entry.path(), out);
        EXPECT_TRUE(fs::exists(shipped)) << shipped;
        EXPECT_TRUE(bytes(entry.path()) == bytes(shipped))
            << shipped << " differs from the generator's output";
        ++files;
    }
    EXPECT_EQ(files, 12 + 1 + 24 + 3);
    fs::remove_all(out);
}

}  // namespace
