#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velorium/raw/metadata.hpp"

namespace {

using velorium::log::Level;
using velorium::DeviceInfo;
using velorium::raw::metadata::parse_acquired_time;
using velorium::raw::metadata::parse_devices_xml;
using velorium::testing::CapturedRecord;
using velorium::testing::LogCapture;
using velorium::testing::TempDir;
using velorium::testing::write_file;

constexpr std::string_view kMetadata = "velorium::raw::metadata";

std::optional<DeviceInfo> devices(const TempDir& dir, std::string_view text) {
  write_file(dir / "Devices.xml", text);
  return parse_devices_xml(dir / "Devices.xml");
}

std::optional<std::string> acquired(const TempDir& dir, std::string_view text) {
  write_file(dir / "Contents.xml", text);
  return parse_acquired_time(dir / "Contents.xml");
}

TEST(DevicesXml, FirstDeviceAndItsDirectChildren) {
  const TempDir dir;
  LogCapture capture;
  EXPECT_EQ(devices(dir, "<Devices><a><b><d:Device xmlns:d=\"urn:d\"><d:Name> Q-TOF\t</d:Name>"
                         "<ModelNumber>\n  G6530A  \n</ModelNumber></d:Device></b></a></Devices>"),
            (DeviceInfo{"Q-TOF", "G6530A"}));
  // Only the first Device is looked at.
  EXPECT_FALSE(devices(dir, "<Devices><Device><Name>A</Name></Device>"
                            "<Device><Name>B</Name><ModelNumber>G1</ModelNumber></Device></Devices>"));
  // A Name below a child of the Device is not the Device's Name.
  EXPECT_FALSE(devices(dir, "<Devices><Device><Info><Name>A</Name></Info><ModelNumber>G1</ModelNumber></Device></Devices>"));
  // Only the first Name counts, and it must have text that is not empty.
  EXPECT_FALSE(devices(dir, "<Devices><Device><Name><!--x-->A</Name><Name>B</Name><ModelNumber>G1</ModelNumber>"
                            "</Device></Devices>"));
  EXPECT_FALSE(devices(dir, "<Devices><Device><Name>A</Name><ModelNumber> </ModelNumber></Device></Devices>"));
  EXPECT_FALSE(devices(dir, "<Devices><Instrument/></Devices>"));
  EXPECT_TRUE(capture.records().empty());
}

TEST(ContentsXml, AcquiredTimeIsADirectChildOfTheRoot) {
  const TempDir dir;
  LogCapture capture;
  EXPECT_EQ(acquired(dir, "<Contents><AcquiredTime> 2021-03-04T05:06:07.1234567+01:00\n</AcquiredTime></Contents>"),
            "2021-03-04T05:06:07.1234567+01:00");
  EXPECT_EQ(acquired(dir, "<c:Contents xmlns:c=\"urn:c\"><c:AcquiredTime>yesterday</c:AcquiredTime></c:Contents>"),
            "yesterday");
  EXPECT_FALSE(acquired(dir, "<Contents><Run><AcquiredTime>2021</AcquiredTime></Run></Contents>"));
  EXPECT_FALSE(acquired(dir, "<Contents><AcquiredTime/></Contents>"));
  EXPECT_FALSE(acquired(dir, "<AcquiredTime>2021</AcquiredTime>"));  // the root itself is not its own child
  EXPECT_TRUE(capture.records().empty());
}

TEST(MetadataFiles, AbsentUnreadableAndMalformed) {
  const TempDir dir;
  LogCapture capture;
  EXPECT_FALSE(parse_acquired_time(dir / "Contents.xml"));
  EXPECT_FALSE(parse_devices_xml(dir / "missing" / "Devices.xml"));
  EXPECT_TRUE(capture.records().empty());

  // UTF-16 with a byte-order mark is not UTF-8.
  const std::string utf16("\xFF\xFE<\0D\0/\0>\0", 10);
  EXPECT_FALSE(devices(dir, utf16));
  const std::string path = (dir / "Devices.xml").string();
  EXPECT_EQ(capture.records(), (std::vector<CapturedRecord>{{std::string(kMetadata), Level::Warn,
                                                             path + ": read failed: stream did not contain valid UTF-8"}}));

  capture.clear();
  EXPECT_FALSE(acquired(dir, "<Contents><AcquiredTime>2021</Contents>"));
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].target, kMetadata);
  EXPECT_EQ(records[0].level, Level::Warn);
  EXPECT_TRUE(records[0].message.starts_with((dir / "Contents.xml").string() + ": XML parse failed: "))
      << records[0].message;

  capture.clear();
  EXPECT_FALSE(devices(dir, "<!DOCTYPE d [<!ENTITY n \"G6530A\">]><Devices><Device><Name>&n;</Name>"
                            "<ModelNumber>&n;</ModelNumber></Device></Devices>"));
  records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].message.find(": XML parse failed: a document type definition"), std::string::npos);

  // A folder in place of the file, below a name that is not UTF-8.
  capture.clear();
  const auto odd = dir / "odd\xFF" / "Devices.xml";
  std::filesystem::create_directories(odd);
  EXPECT_FALSE(parse_devices_xml(odd));
  EXPECT_EQ(capture.records(),
            (std::vector<CapturedRecord>{{std::string(kMetadata), Level::Warn,
                                          dir.path().string() + "/odd\xEF\xBF\xBD/Devices.xml: read failed: Is a directory"}}));
}

}  // namespace
