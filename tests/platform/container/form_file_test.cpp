#include "platform/container/form_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "test_names.h"

namespace vexa32 {
namespace {

Form sample_form() {
  Form form;
  form.name = "Form1";
  form.caption = "Form1";
  form.width = 4680;
  form.height = 3195;
  FormControl& c = form.add("VEXA32.vexa", "vexa1");
  c.properties.set("svrname", Variant("KEPware.KEPServerEx.V4"));
  c.properties.set("UpdateRate", Variant(std::int16_t{100}));
  c.properties.set("itm0", Variant("test1.cpu.SignalTags.Signal_0001B"));
  return form;
}

TEST(FormFile, RoundTripsEveryValueTypeExactly) {
  Form form = sample_form();
  MemoryPropertyBag& bag = form.controls[0].properties;
  const std::vector<Variant> values = {Variant(),
                                       Variant::null(),
                                       Variant(std::int8_t{-3}),
                                       Variant(std::int16_t{-32768}),
                                       Variant(7),
                                       Variant(-9000000000LL),
                                       Variant(std::uint8_t{255}),
                                       Variant(std::uint16_t{65535}),
                                       Variant(4000000000u),
                                       Variant(18446744073709551615ull),
                                       Variant(0.1f),
                                       Variant(0.1),
                                       Variant(std::nan("")),
                                       Variant(-INFINITY),
                                       Variant::date(46363.5),
                                       Variant(true),
                                       Variant(false),
                                       Variant::error(hr::E_FAIL),
                                       Variant("text \"quoted\" \xC3\xA4"),
                                       Variant(""),
                                       make_array(VT_I4, {Variant(1), Variant(2)}, 0),
                                       make_array(VT_VARIANT, {Variant("a"), Variant(2.5)})};
  for (std::size_t i = 0; i < values.size(); ++i) bag.set("v" + std::to_string(i), values[i]);

  Form back = parse_form(serialize_form(form), "mem.json");
  ASSERT_EQ(back.controls.size(), 1u);
  EXPECT_EQ(back.name, "Form1");
  EXPECT_EQ(back.width, 4680);
  EXPECT_EQ(back.controls[0].class_name, "VEXA32.vexa");
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Variant* v = back.controls[0].properties.find("v" + std::to_string(i));
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(*v, values[i]) << v->debug_string() << " vs " << values[i].debug_string();
  }
}

TEST(FormFile, KeepsKeysInLowerCaseAndInWriteOrder) {
  std::string text = serialize_form(sample_form());
  EXPECT_NE(text.find("\"updaterate\": {\n"), std::string::npos) << text;
  EXPECT_LT(text.find("svrname"), text.find("updaterate"));
  EXPECT_LT(text.find("updaterate"), text.find("itm0"));
  EXPECT_NE(text.find("\"svrname\": \"KEPware.KEPServerEx.V4\""), std::string::npos);
}

struct BadInput {
  const char* text;
  const char* expected_in_message;
};

class MalformedForm : public ::testing::TestWithParam<BadInput> {};

TEST_P(MalformedForm, GivesAClearErrorNamingFileAndPosition) {
  try {
    parse_form(GetParam().text, "broken.json");
    FAIL() << "accepted: " << GetParam().text;
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), rt::FormLoadError);
    std::string msg = e.what();
    EXPECT_NE(msg.find("broken.json"), std::string::npos) << msg;
    EXPECT_NE(msg.find(GetParam().expected_in_message), std::string::npos) << msg;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedForm,
    ::testing::Values(BadInput{"{\n  \"form\": \"F\",\n  \"controls\": [", "broken.json:3:"},
                      BadInput{"", "broken.json:1:1"},
                      BadInput{"{\"form\": 222e2222222222222222222222}", "number overflow"},
                      BadInput{"{\"form\": \"F\", \"controls\": [{\"class\": \"c\", \"name\": \"n\", \"properties\": "
                               "{\"x\": {\"VT_I2\": 40000}}}]}",
                               "out of range"},
                      BadInput{"{\"form\": \"F\", \"controls\": [{\"class\": \"c\", \"name\": \"n\", \"properties\": "
                               "{\"x\": {\"VT_BOGUS\": 1}}}]}",
                               "controls[0].properties.x"},
                      BadInput{"{\"form\": \"F\", \"controls\": [{\"class\": \"c\", \"name\": \"n\", \"properties\": "
                               "{\"x\": 5}}]}",
                               "expected a text"},
                      BadInput{"{\"form\": \"F\", \"controls\": [{\"class\": \"c\", \"name\": \"n\", \"properties\": "
                               "{\"x\": \"a\", \"X\": \"b\"}}]}",
                               "twice"},
                      BadInput{"{\"form\": \"F\", \"controls\": [{\"name\": \"n\"}]}", "missing \"class\""},
                      BadInput{"[1, 2]", "one JSON object"}, BadInput{"{\"form\": 3}", "expected text"},
                      BadInput{"{\"form\": \"F\", \"controls\": [{\"class\": \"c\", \"name\": \"n\", \"properties\": "
                               "{\"x\": {\"VT_ARRAY\": {\"type\": \"VT_I2\", \"lbound\": 1, \"items\": [\"a\"]}}}}]}",
                               "wrong type"}),
    ::vexa32::testing::LabelName());

TEST(FormFile, SaveAndLoadThroughTheFileSystem) {
  auto dir = std::filesystem::temp_directory_path() /
             ("vexa32_form_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "Form1.json").string();
  save_form_file(path, sample_form());
  Form back = load_form_file(path);
  EXPECT_EQ(*back.find("VEXA1")->properties.find("updaterate"), Variant(std::int16_t{100}));
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  try {
    load_form_file((dir / "missing.json").string());
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.json"), std::string::npos);
  }
  // A save into a folder that does not exist fails and writes nothing.
  EXPECT_THROW(save_form_file((dir / "no" / "such.json").string(), sample_form()), AutomationError);
  std::filesystem::remove_all(dir);
}

TEST(FormFile, SavesUseATemporaryFileOfTheirOwnAndLoadsNeverBlock) {
  auto dir = std::filesystem::temp_directory_path() / ("vexa32_form_tmp_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "Form1.json").string();
  // What a fixed temporary name would collide with: another save's leftover, even a folder.
  std::filesystem::create_directories(path + ".tmp");
  save_form_file(path, sample_form());
  save_form_file(path, sample_form());
  EXPECT_EQ(load_form_file(path).controls.size(), sample_form().controls.size());
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 2u);  // the form and the folder: no temporary file left behind
  const std::string fifo = (dir / "pipe.json").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto child = [&] {
    ::alarm(20);  // a blocked open ends the child here
    try {
      load_form_file(fifo);
    } catch (const AutomationError&) {
      std::_Exit(0);
    }
    std::_Exit(1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vexa32
