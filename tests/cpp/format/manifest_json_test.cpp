#include "format/manifest_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace tarnwick {
namespace {

using namespace std::chrono;

constexpr std::string_view kId1 = "67e55044-10b1-426f-9247-bb680e5fe0c8";
constexpr std::string_view kId2 = "0f8fad5b-d9cb-469f-a165-70867728950e";

Uuid uuid(std::string_view text) { return *Uuid::parse(text); }

ByteSpan bytes(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

Result<Manifest> read(std::string_view text) { return manifest_from_json(bytes(text)); }

std::string write(const Manifest& manifest) {
  auto text = manifest_to_json(manifest);
  EXPECT_TRUE(text.has_value()) << text.error().display();
  return text.value_or("");
}

const Timestamp kNoon = Timestamp{sys_days{2025y / March / 1}} + 12h;

// A small store: a full snapshot with one fp8 tensor, and an unfinished
// delta snapshot with no ranks yet.
Manifest small_manifest() {
  TensorEntry w;
  w.name = "w";
  w.shape = {2, 3};
  w.dtype = "float8_e4m3fn";
  w.original_dtype = "float32";
  w.quant_scale = 0.5f;
  w.offset = 32;
  w.compressed_size = 6;
  w.raw_size = 6;
  w.hash_raw = "000102030405060708090a0b0c0d0e0f";
  w.hash_compressed = "101112131415161718191a1b1c1d1e1f";
  RankEntry rank;
  rank.tensors = {w};
  rank.pack_file = "snapshots/67e55044-10b1-426f-9247-bb680e5fe0c8/rank_0.pack";
  rank.total_compressed = 6;
  rank.total_raw = 6;
  rank.full_count = 1;
  Snapshot full;
  full.id = uuid(kId1);
  full.step = 100;
  full.created_at = kNoon + 123ms;
  full.ranks = {{0, rank}};
  full.metadata = {{"epoch", "3"}};
  full.compression = CompressionAlgo::zstd(3);
  full.finalized = true;
  Snapshot delta;
  delta.id = uuid(kId2);
  delta.step = 200;
  delta.created_at = kNoon + 5min;
  delta.base_snapshot_id = uuid(kId1);
  delta.compression = CompressionAlgo::none();
  Manifest manifest;
  manifest.snapshots = {full, delta};
  return manifest;
}

constexpr std::string_view kSmallManifestText = R"({
  "format_version": 2,
  "world_size": 1,
  "snapshots": [
    {
      "id": "67e55044-10b1-426f-9247-bb680e5fe0c8",
      "step": 100,
      "created_at": "2025-03-01T12:00:00.123Z",
      "ranks": {
        "0": {
          "rank": 0,
          "tensors": [
            {
              "name": "w",
              "shape": [
                2,
                3
              ],
              "dtype": "float8_e4m3fn",
              "original_dtype": "float32",
              "quant_scale": 0.5,
              "storage": "Full",
              "alias_of": null,
              "filename": null,
              "offset": 32,
              "compressed_size": 6,
              "raw_size": 6,
              "hash_raw": "000102030405060708090a0b0c0d0e0f",
              "hash_compressed": "101112131415161718191a1b1c1d1e1f",
              "shuffled": false
            }
          ],
          "pack_file": "snapshots/67e55044-10b1-426f-9247-bb680e5fe0c8/rank_0.pack",
          "total_compressed": 6,
          "total_raw": 6,
          "skipped_count": 0,
          "delta_count": 0,
          "full_count": 1
        }
      },
      "base_snapshot_id": null,
      "metadata": {
        "epoch": "3"
      },
      "compression": {
        "Zstd": {
          "level": 3
        }
      },
      "finalized": true
    },
    {
      "id": "0f8fad5b-d9cb-469f-a165-70867728950e",
      "step": 200,
      "created_at": "2025-03-01T12:05:00Z",
      "ranks": {},
      "base_snapshot_id": "67e55044-10b1-426f-9247-bb680e5fe0c8",
      "metadata": {},
      "compression": "None",
      "finalized": false
    }
  ],
  "retention": {
    "max_full_snapshots": 5,
    "max_deltas_per_full": 10,
    "full_snapshot_every_steps": 5000,
    "max_total_snapshots": null
  },
  "lineage": {
    "rollback_interval_steps": 10000,
    "max_rollback_snapshots": 3
  }
})";

TEST(ManifestJson, WritesThePrettyFormByteForByte) {
  EXPECT_EQ(write(small_manifest()), kSmallManifestText);
  EXPECT_EQ(read(kSmallManifestText), small_manifest());
}

TEST(ManifestJson, TrickyRecordsReadBackEqual) {
  struct Case {
    std::string_view name;
    std::function<void(Manifest&)> change;
    // How the record reads back when it cannot survive unchanged.
    std::function<void(Manifest&)> expect = [](Manifest&) {};
  };
  auto tensor = [](Manifest& m) -> TensorEntry& { return m.snapshots[0].ranks[0].tensors[0]; };
  const Case cases[] = {
      {"escapes", [&](Manifest& m) {
         tensor(m).name = std::string("q\"uote\\back/slash\b\f\n\r\t\x01\x1f\x7f") + '\0' + "end";
         m.snapshots[0].metadata = {{"k\"ey\n", "va\\lue\r"}, {"", ""}};
       }},
      {"non-ASCII text", [&](Manifest& m) {
         tensor(m).name = "poids.caf\xc3\xa9.\xe6\x97\xa5\xe6\x9c\xac.\xf0\x9f\x98\x80";
         m.snapshots[0].metadata = {{"\xc3\x9cn\xc3\xaf" "code", "\xe5\x80\xa4"}};
       }},
      {"NaN scale", [&](Manifest& m) { tensor(m).quant_scale = std::nanf(""); },
       [&](Manifest& m) { tensor(m).quant_scale.reset(); }},
      {"infinite scale", [&](Manifest& m) { tensor(m).quant_scale = -std::numeric_limits<float>::infinity(); },
       [&](Manifest& m) { tensor(m).quant_scale.reset(); }},
      {"smallest subnormal scale", [&](Manifest& m) { tensor(m).quant_scale = std::numeric_limits<float>::denorm_min(); }},
      {"largest scale", [&](Manifest& m) { tensor(m).quant_scale = std::numeric_limits<float>::max(); }},
      {"inexact scale", [&](Manifest& m) { tensor(m).quant_scale = 1.0f / 3.0f; }},
      {"negative zstd level", [](Manifest& m) { m.snapshots[0].compression = CompressionAlgo::zstd(-5); }},
      {"nine-digit nanoseconds", [](Manifest& m) { m.snapshots[0].created_at = kNoon + 123456789ns; }},
      {"six-digit nanoseconds", [](Manifest& m) { m.snapshots[0].created_at = kNoon + 1us; }},
      {"extreme integers", [&](Manifest& m) {
         m.world_size = std::numeric_limits<std::uint32_t>::max();
         m.snapshots[0].step = std::numeric_limits<std::uint64_t>::max();
         tensor(m).offset = std::numeric_limits<std::uint64_t>::max();
         tensor(m).shape = {0, std::numeric_limits<std::uint64_t>::max()};
         m.retention.max_total_snapshots = 0;
         m.lineage.rollback_interval_steps = 0;
         m.lineage.max_rollback_snapshots = 0;
       }},
      {"ranks beyond 9 and the largest rank", [](Manifest& m) {
         RankEntry rank = m.snapshots[0].ranks[0];
         for (const std::uint32_t r : {1u, 2u, 10u, 4294967295u}) {
           rank.rank = r;
           m.snapshots[0].ranks[r] = rank;
         }
       }},
      {"every optional member set", [&](Manifest& m) {
         tensor(m).storage = TensorStorage::Alias;
         tensor(m).alias_of = "other";
         tensor(m).filename = "snapshots/x/w.bin";
         tensor(m).shuffled = true;
         m.snapshots[0].ranks[0].pack_file.reset();
         m.retention.max_total_snapshots = 12;
       }},
      {"each storage kind", [&](Manifest& m) {
         std::vector<TensorEntry>& tensors = m.snapshots[0].ranks[0].tensors;
         for (const TensorStorage s : {TensorStorage::DeltaXor, TensorStorage::Skipped, TensorStorage::Alias}) {
           tensors.push_back(tensors[0]);
           tensors.back().storage = s;
         }
       }},
      {"empty name and shape", [&](Manifest& m) {
         tensor(m).name = "";
         tensor(m).shape = {};
       }},
      {"unknown format version", [](Manifest& m) { m.format_version = 7; }},
      {"no snapshots", [](Manifest& m) { m.snapshots.clear(); }},
  };
  for (const Case& c : cases) {
    Manifest manifest = small_manifest();
    c.change(manifest);
    const std::string text = write(manifest);
    Manifest expected = manifest;
    c.expect(expected);
    const auto back = read(text);
    ASSERT_TRUE(back.has_value()) << c.name << ": " << back.error().display();
    EXPECT_EQ(*back, expected) << c.name << "\n" << text;
    EXPECT_EQ(write(*back), write(expected)) << c.name;
  }
}

TEST(ManifestJson, RefusesToWriteTextThatIsNotUtf8) {
  Manifest manifest = small_manifest();
  manifest.snapshots[0].metadata["bad"] = "\xff";
  const auto text = manifest_to_json(manifest);
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error().kind(), TarnwickError::Kind::Serialization);
}

// A minimal manifest with every optional member left out.
constexpr std::string_view kMinimal =
    R"({"format_version":2,"world_size":1,"snapshots":[{"id":"67e55044-10b1-426f-9247-bb680e5fe0c8",)"
    R"("step":1,"created_at":"2025-03-01T12:00:00Z","ranks":{"0":{"rank":0,"tensors":[{"name":"w",)"
    R"("shape":[1],"dtype":"float32","storage":"Full","compressed_size":4,"raw_size":4,"hash_raw":"00"}],)"
    R"("total_compressed":4,"total_raw":4,"skipped_count":0,"delta_count":0,"full_count":1}},)"
    R"("metadata":{},"compression":"None","finalized":true}],"retention":{"max_full_snapshots":5,)"
    R"("max_deltas_per_full":10,"full_snapshot_every_steps":5000},)"
    R"("lineage":{"rollback_interval_steps":10000,"max_rollback_snapshots":3}})";

Manifest minimal_manifest() {
  TensorEntry w;
  w.name = "w";
  w.shape = {1};
  w.dtype = "float32";
  w.compressed_size = 4;
  w.raw_size = 4;
  w.hash_raw = "00";
  RankEntry rank;
  rank.tensors = {w};
  rank.total_compressed = 4;
  rank.total_raw = 4;
  rank.full_count = 1;
  Snapshot s;
  s.id = uuid(kId1);
  s.step = 1;
  s.created_at = kNoon;
  s.ranks = {{0, rank}};
  s.compression = CompressionAlgo::none();
  s.finalized = true;
  Manifest manifest;
  manifest.snapshots = {s};
  return manifest;
}

std::string replaced(std::string_view text, std::string_view find, std::string_view with) {
  std::string out(text);
  const std::size_t at = out.find(find);
  EXPECT_NE(at, std::string::npos) << find;
  if (at != std::string::npos) out.replace(at, find.size(), with);
  return out;
}

TEST(ManifestJson, AbsentOptionalMembersTakeTheirDefaults) {
  EXPECT_EQ(read(kMinimal), minimal_manifest());
}

TEST(ManifestJson, ZeroPaddingIsIgnored) {
  std::string padded(kSmallManifestText);
  padded.append(4096 - padded.size() % 4096, '\0');
  EXPECT_EQ(read(padded), small_manifest());
}

TEST(ManifestJson, SkipsUnknownMembersAtEveryLevel) {
  constexpr std::string_view kFuture =
      R"("future":{"a":[1,-0,2.5e-3,true,false,null,"s\"\u00e9\ud83d\ude00",[],{}],"b":{"c":{"d":[[]]}}},)";
  const std::string_view places[] = {
      R"({"format_version")", R"({"id")",  R"({"rank")", R"({"name")",
      R"({"max_full_snapshots")", R"({"rollback_interval_steps")",
  };
  for (const std::string_view place : places) {
    std::string with(place.substr(0, 1));
    with.append(kFuture).append(place.substr(1));
    EXPECT_EQ(read(replaced(kMinimal, place, with)), minimal_manifest()) << place;
  }
  const std::string zstd = replaced(kMinimal, R"("compression":"None")",
                                    R"("compression":{"Zstd":{"future":[1],"level":-5,"x":null}})");
  Manifest expected = minimal_manifest();
  expected.snapshots[0].compression = CompressionAlgo::zstd(-5);
  EXPECT_EQ(read(zstd), expected);
}

TEST(ManifestJson, ReadsMembersInAnyOrderAndLayout) {
  constexpr std::string_view kShuffled = R"(
    { "lineage" : { "max_rollback_snapshots" : 3 , "rollback_interval_steps" : 10000 } ,
      "retention": {"max_total_snapshots": null, "full_snapshot_every_steps": 5000,
                    "max_deltas_per_full": 10, "max_full_snapshots": 5},
      "snapshots": [ {
        "finalized": true, "compression": "None", "metadata": {}, "base_snapshot_id": null,
        "ranks": { "0": { "full_count": 1, "delta_count": 0, "skipped_count": 0, "total_raw": 4,
                          "total_compressed": 4, "pack_file": null,
                          "tensors": [ { "shuffled": false, "hash_compressed": null, "hash_raw": "00",
                                         "raw_size": 4, "compressed_size": 4, "offset": 0,
                                         "filename": null, "alias_of": null, "storage": "Full",
                                         "quant_scale": null, "original_dtype": null,
                                         "dtype": "float32", "shape": [ 1 ], "name": "w" } ],
                          "rank": 0 } },
        "created_at": "2025-03-01T13:00:00+01:00", "step": 1,
        "id": "67E55044-10B1-426F-9247-BB680E5FE0C8" } ],
      "world_size": 1, "format_version": 2 }
  )";
  EXPECT_EQ(read(kShuffled), minimal_manifest());
}

TEST(ManifestJson, RecordErrorsNameTheFieldOrVariant) {
  struct Case {
    std::string_view find;
    std::string_view with;
    std::string_view message;
  };
  const Case cases[] = {
      {R"("metadata":{},)", "", "missing field `metadata`"},
      {R"("format_version":2,)", "", "missing field `format_version`"},
      {R"("hash_raw":"00")", R"("hash_compressed":"00")", "missing field `hash_raw`"},
      {R"("max_deltas_per_full":10,)", "", "missing field `max_deltas_per_full`"},
      {R"("step":1,)", R"("step":1,"step":2,)", "duplicate field `step`"},
      {R"("name":"w",)", R"("name":"w","name":"v",)", "duplicate field `name`"},
      {R"("metadata":{})", R"("metadata":{"a":"1","a":"2"})", "duplicate field `a`"},
      {R"("ranks":{"0":{)", R"("ranks":{"0":{"rank":0,"tensors":[],"total_compressed":0,"total_raw":0,)"
                            R"("skipped_count":0,"delta_count":0,"full_count":0},"0":{)", "duplicate field `0`"},
      {R"("storage":"Full")", R"("storage":"full")",
       "unknown variant `full`, expected one of `Full`, `DeltaXor`, `Skipped`, `Alias`"},
      {R"("storage":"Full")", R"("storage":"")",
       "unknown variant ``, expected one of `Full`, `DeltaXor`, `Skipped`, `Alias`"},
      {R"("compression":"None")", R"("compression":"Zstd")", "unknown variant `Zstd`, expected `None` or `Zstd`"},
      {R"("compression":"None")", R"("compression":"none")", "unknown variant `none`, expected `None` or `Zstd`"},
      {R"("compression":"None")", R"("compression":{"zstd":{"level":3}})",
       "unknown variant `zstd`, expected `None` or `Zstd`"},
      {R"("compression":"None")", R"("compression":{"Zstd":{}})", "missing field `level`"},
      {R"("compression":"None")", R"("compression":{"Zstd":{"level":3},"None":null})",
       "invalid value: map with more than one member, expected `None` or `Zstd`"},
      {R"("compression":"None")", R"("compression":{"Zstd":{"level":2147483648}})",
       "invalid value: integer `2147483648`, expected i32"},
      {R"("compression":"None")", R"("compression":3)",
       "invalid type: integer `3`, expected `None` or an object with member `Zstd`"},
  };
  for (const Case& c : cases) {
    const auto manifest = read(replaced(kMinimal, c.find, c.with));
    ASSERT_FALSE(manifest.has_value()) << c.message;
    EXPECT_EQ(manifest.error().kind(), TarnwickError::Kind::Serialization);
    EXPECT_TRUE(manifest.error().text().starts_with(std::string(c.message) + " at line 1 column "))
        << manifest.error().text();
  }
}

TEST(ManifestJson, SyntaxAndTypeErrorsCarryTheReadersWording) {
  struct Case {
    std::string_view find;
    std::string with;
    std::string_view message;
  };
  const Case cases[] = {
      {R"("world_size":1)", R"("world_size":"1")", R"(invalid type: string "1", expected u32)"},
      {R"("world_size":1)", R"("world_size":-1)", "invalid value: integer `-1`, expected u32"},
      {R"("world_size":1)", R"("world_size":4294967296)", "invalid value: integer `4294967296`, expected u32"},
      {R"("world_size":1)", R"("world_size":null)", "invalid type: null, expected u32"},
      {R"("step":1)", R"("step":1.5)", "invalid type: floating point `1.5`, expected u64"},
      {R"("step":1)", R"("step":18446744073709551616)", "number out of range"},
      {R"("step":1)", R"("step":01)", "invalid number"},
      {R"("finalized":true)", R"("finalized":1)", "invalid type: integer `1`, expected a boolean"},
      {R"("finalized":true)", R"("finalized":tru)", "expected ident"},
      {R"("snapshots":[)", R"("snapshots":[[],)", "invalid type: sequence, expected a map"},
      {R"("metadata":{})", R"("metadata":{"a":1})", "invalid type: integer `1`, expected a string"},
      {R"("ranks":{"0":)", R"("ranks":{"x":)", R"(invalid type: string "x", expected u32)"},
      {R"("ranks":{"0":)", R"("ranks":{"00":)", R"(invalid type: string "00", expected u32)"},
      {R"("ranks":{"0":)", R"("ranks":{"4294967296":)", R"(invalid type: string "4294967296", expected u32)"},
      {kId1, "not-a-uuid",
       R"(invalid value: string "not-a-uuid", expected a UUID (invalid group count: expected 5, found 3))"},
      {"2025-03-01T12:00:00Z", "yesterday", R"(invalid value: string "yesterday", expected an RFC 3339 timestamp)"},
      {R"("shape":[1])", R"("shape":[1,])", "trailing comma"},
      {R"("metadata":{})", R"("metadata":{"a":"1",})", "trailing comma"},
      {R"("shape":[1])", R"("shape":[1 2])", "expected `,` or `]`"},
      {R"("step":1,)", R"("step":1 )", "expected `,` or `}`"},
      {R"("step":1)", R"("step"1)", "expected `:`"},
      {R"({"format_version")", R"({format_version)", "key must be a string"},
      {R"("name":"w")", "\"name\":\"w\x01\"", "control character (\\u0000-\\u001F) found while parsing a string"},
      {R"("name":"w")", "\"name\":\"w\xff\"", "invalid unicode code point"},
      {R"("name":"w")", R"("name":"\x")", "invalid escape"},
      {R"("name":"w")", R"("name":"\ud800")", "lone leading surrogate in hex escape"},
      {R"("name":"w")", R"("name":"\udc00")", "invalid unicode code point"},
      {R"("storage":"Full")", R"("storage":"Full","quant_scale":1e39)", "number out of range"},
      {R"({"format_version")", "{\"deep\":" + std::string(200, '[') + ",\"format_version\"",
       "recursion limit exceeded"},
      {"\"lineage\"", "\"x\":@,\"lineage\"", "expected value"},
  };
  for (const Case& c : cases) {
    const auto manifest = read(replaced(kMinimal, c.find, c.with));
    ASSERT_FALSE(manifest.has_value()) << c.message;
    EXPECT_EQ(manifest.error().kind(), TarnwickError::Kind::Serialization);
    EXPECT_TRUE(manifest.error().text().starts_with(std::string(c.message) + " at line 1 column "))
        << c.message << " / " << manifest.error().text();
  }
}

TEST(ManifestJson, ErrorsGiveTheLineAndColumnWhereTheyWereNoticed) {
  struct Case {
    std::string text;
    std::string_view error;
  };
  const std::string pretty(kSmallManifestText);
  const std::size_t after_step = pretty.find("\"step\": 100") + 11;
  const Case cases[] = {
      {pretty.substr(0, after_step), "EOF while parsing an object at line 7 column 17"},
      {pretty.substr(0, pretty.size() / 2), "EOF while parsing a string at line 33 column 49"},
      {"{\n  \"format_version\": 2\n}", "missing field `world_size` at line 3 column 1"},
      {pretty + "\n  x", "trailing characters at line 74 column 3"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {std::string(4096, '\0'), "EOF while parsing a value at line 1 column 0"},
      {"[]", "invalid type: sequence, expected a map at line 1 column 1"},
  };
  for (const Case& c : cases) {
    const auto manifest = read(c.text);
    ASSERT_FALSE(manifest.has_value()) << c.error;
    EXPECT_EQ(manifest.error().display(), "Serialization error: " + std::string(c.error));
  }
}

TEST(PackDescriptorJson, IsOneCompactLineThatReadsBack) {
  const Manifest manifest = small_manifest();
  const Snapshot& s = manifest.snapshots[0];
  PackDescriptor descriptor;
  descriptor.snapshot_id = s.id;
  descriptor.step = s.step;
  descriptor.created_at = s.created_at;
  descriptor.base_snapshot_id = uuid(kId2);
  descriptor.metadata = s.metadata;
  descriptor.compression = s.compression;
  descriptor.world_size = 2;
  descriptor.rank = s.ranks.at(0);
  const auto text = pack_descriptor_to_json(descriptor);
  ASSERT_TRUE(text.has_value());
  EXPECT_TRUE(text->starts_with(
      R"({"snapshot_id":"67e55044-10b1-426f-9247-bb680e5fe0c8","step":100,"created_at":"2025-03-01T12:00:00.123Z",)"
      R"("base_snapshot_id":"0f8fad5b-d9cb-469f-a165-70867728950e","metadata":{"epoch":"3"},)"
      R"("compression":{"Zstd":{"level":3}},"world_size":2,"rank":{"rank":0,"tensors":[{"name":"w","shape":[2,3],)"))
      << *text;
  EXPECT_EQ(text->find_first_of(" \n"), std::string::npos);
  EXPECT_EQ(pack_descriptor_from_json(bytes(*text)), descriptor);

  PackDescriptor without_base = descriptor;
  without_base.base_snapshot_id.reset();
  const std::string absent = replaced(*text, R"("base_snapshot_id":"0f8fad5b-d9cb-469f-a165-70867728950e",)", "");
  EXPECT_EQ(pack_descriptor_from_json(bytes(absent)), without_base);
  const auto missing_rank = pack_descriptor_from_json(bytes(replaced(*text, R"("world_size":2,"rank")", R"("world_size":2,"ranks")")));
  ASSERT_FALSE(missing_rank.has_value());
  EXPECT_TRUE(missing_rank.error().text().starts_with("missing field `rank` at line 1 column "));
}

}  // namespace
}  // namespace tarnwick
