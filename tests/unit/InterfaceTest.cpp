// Semantics of the plug-in base class, observed through a derived class that
// exposes its protected state.
#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

#include "RecordTestUtil.h"
#include "korva/IKorvaCustomClass.h"

namespace {

using korva::test::MakeRecord;
using korva::test::SameRecord;

class Probe : public IKorvaCustomClass {
public:
    using IKorvaCustomClass::configText;
    using IKorvaCustomClass::configValue;
    using IKorvaCustomClass::loadEngineOnCreate;
    using IKorvaCustomClass::parameters;

    bool Initialize(const std::string&, float, std::string&) override { return false; }
    bool OptimizeModel(bool) override { return false; }
    std::vector<CustomObject> RunInference(const cv::Mat&, const std::string&) override { return {}; }
    std::vector<CustomObject> RunInference(const cv::Mat&) override { return {}; }
    bool ConfigureParameters(CustomParams&) override { return false; }
    bool Destroy() override { return true; }
};

// Deleting a plug-in through the base would skip the derived destructor, so
// the base destructor is out of reach; derived classes stay destructible.
static_assert(!std::is_destructible<IKorvaCustomClass>::value,
              "delete through an IKorvaCustomClass pointer must not compile");
static_assert(std::is_destructible<Probe>::value, "a plug-in is destroyed through its own class");
static_assert(!std::has_virtual_destructor<IKorvaCustomClass>::value,
              "the virtual slots stay the six operations");

Probe Filled(const std::string& tag) {
    Probe p;
    p.configText = "configuration text that does not fit a small string " + tag;
    p.configValue = 0.75f;
    p.parameters = MakeRecord(tag, 3);
    p.loadEngineOnCreate = true;
    return p;
}

bool SameState(const Probe& a, const Probe& b) {
    return a.configText == b.configText && a.configValue == b.configValue &&
           a.loadEngineOnCreate == b.loadEngineOnCreate && SameRecord(a.parameters, b.parameters);
}

TEST(PluginBase, DefaultState) {
    const Probe p;
    EXPECT_EQ(p.configText, "");
    EXPECT_EQ(p.configValue, 0.5f);
    EXPECT_FALSE(p.loadEngineOnCreate);
    EXPECT_TRUE(SameRecord(p.parameters, CustomParams{}));
}

TEST(PluginBase, CopyIsIndependentOfItsSource) {
    Probe source = Filled("x");
    Probe copy(source);
    EXPECT_TRUE(SameState(copy, source));
    source.parameters.texts.push_back("changed");
    source.parameters.valueListEntries[0].wideValues[0] = 99.0;
    source.configText += "!";
    EXPECT_TRUE(SameState(copy, Filled("x")));

    Probe assigned;
    assigned = copy;
    copy.parameters.flagEntries.clear();
    EXPECT_TRUE(SameState(assigned, Filled("x")));
}

TEST(PluginBase, MoveTakesTextAndListsAndCopiesNumberAndFlag) {
    Probe source = Filled("m");
    Probe moved(std::move(source));
    EXPECT_TRUE(SameState(moved, Filled("m")));
    // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from state is specified.
    EXPECT_TRUE(source.configText.empty());
    EXPECT_TRUE(source.parameters.flagEntries.empty());
    EXPECT_TRUE(source.parameters.texts.empty());
    EXPECT_TRUE(source.parameters.textListEntries.empty());
    EXPECT_TRUE(source.parameters.valueListEntries.empty());
    EXPECT_EQ(source.configValue, 0.75f);
    EXPECT_TRUE(source.loadEngineOnCreate);

    Probe target;
    Probe other = Filled("n");
    target = std::move(other);
    EXPECT_TRUE(SameState(target, Filled("n")));
    EXPECT_TRUE(other.configText.empty());
    EXPECT_TRUE(other.parameters.texts.empty());
    EXPECT_EQ(other.configValue, 0.75f);
    EXPECT_TRUE(other.loadEngineOnCreate);
}

TEST(PluginBase, SelfCopyAssignmentKeepsTheObject) {
    Probe p = Filled("s");
    const Probe& alias = p;
    p = alias;
    EXPECT_TRUE(SameState(p, Filled("s")));
}

// A defaulted move assignment would lose the lists here: libstdc++'s
// std::vector empties itself on self-move.
TEST(PluginBase, SelfMoveAssignmentKeepsTheObject) {
    Probe p = Filled("s");
    Probe& alias = p;
    p = std::move(alias);
    EXPECT_TRUE(SameState(p, Filled("s")));
}

TEST(PluginBase, SetParametersReplacesTheWholeRecord) {
    Probe p = Filled("old");
    const CustomParams next = MakeRecord("new", 1);
    EXPECT_TRUE(p.SetParameters(next));
    EXPECT_TRUE(SameRecord(p.parameters, next));
    // Only the record changes.
    EXPECT_EQ(p.configText, Filled("old").configText);
    EXPECT_EQ(p.configValue, 0.75f);
    EXPECT_TRUE(p.loadEngineOnCreate);
}

TEST(PluginBase, SetParametersWithAnEmptyRecordEmptiesEveryList) {
    Probe p = Filled("old");
    EXPECT_TRUE(p.SetParameters(CustomParams{}));
    EXPECT_TRUE(SameRecord(p.parameters, CustomParams{}));
}

TEST(PluginBase, SetParametersWithItsOwnRecord) {
    Probe p = Filled("own");
    EXPECT_TRUE(p.SetParameters(p.parameters));
    EXPECT_TRUE(SameRecord(p.parameters, MakeRecord("own", 3)));
}

TEST(PluginBase, SetLoadEngineOnCreateStoresTheFlagOnly) {
    Probe p = Filled("f");
    p.loadEngineOnCreate = false;
    p.SetLoadEngineOnCreate(true);
    EXPECT_TRUE(p.loadEngineOnCreate);
    p.SetLoadEngineOnCreate(false);
    EXPECT_FALSE(p.loadEngineOnCreate);
    Probe expected = Filled("f");
    expected.loadEngineOnCreate = false;
    EXPECT_TRUE(SameState(p, expected));
}

}  // namespace
