// SetParameters is all or nothing: whichever allocation of the copy fails,
// the previous record stays exactly as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "RecordTestUtil.h"
#include "korva/IKorvaCustomClass.h"

namespace {

// While armed, counts allocations and throws once `g_allowed` are used up.
bool g_armed = false;
long g_allowed = 0;
long g_count = 0;

void* Allocate(std::size_t size) {
    if (g_armed) {
        if (g_count >= g_allowed) throw std::bad_alloc();
        ++g_count;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using korva::test::MakeRecord;
using korva::test::SameRecord;

class Holder : public IKorvaCustomClass {
public:
    using IKorvaCustomClass::parameters;
    bool Initialize(const std::string&, float, std::string&) override { return false; }
    bool OptimizeModel(bool) override { return false; }
    std::vector<CustomObject> RunInference(const cv::Mat&, const std::string&) override { return {}; }
    std::vector<CustomObject> RunInference(const cv::Mat&) override { return {}; }
    bool ConfigureParameters(CustomParams&) override { return false; }
    bool Destroy() override { return true; }
};

// SetParameters with at most `allowed` allocations; counts those used.
bool SetWithBudget(Holder& h, const CustomParams& next, long allowed, long& used) {
    g_count = 0;
    g_allowed = allowed;
    g_armed = true;
    const bool ok = h.SetParameters(next);
    g_armed = false;
    used = g_count;
    return ok;
}

TEST(SetParametersAllocation, EveryFailedAllocationLeavesThePreviousRecord) {
    const CustomParams previous = MakeRecord("previous", 2);
    const CustomParams next = MakeRecord("next", 3);

    long needed = 0;
    {
        Holder h;
        h.parameters = previous;
        ASSERT_TRUE(SetWithBudget(h, next, 1'000'000, needed));
        ASSERT_TRUE(SameRecord(h.parameters, next));
    }
    // The copy allocates at least once per text and list in the record.
    ASSERT_GT(needed, 50);

    for (long allowed = 0; allowed < needed; ++allowed) {
        Holder h;
        h.parameters = previous;
        long used = 0;
        EXPECT_FALSE(SetWithBudget(h, next, allowed, used)) << "allocations allowed: " << allowed;
        EXPECT_TRUE(SameRecord(h.parameters, previous)) << "allocations allowed: " << allowed;
    }

    Holder h;
    h.parameters = previous;
    long used = 0;
    EXPECT_TRUE(SetWithBudget(h, next, needed, used));
    EXPECT_EQ(used, needed);
    EXPECT_TRUE(SameRecord(h.parameters, next));
}

TEST(SetParametersAllocation, EmptyRecordNeedsNoAllocation) {
    Holder h;
    h.parameters = MakeRecord("previous", 2);
    long used = 0;
    EXPECT_TRUE(SetWithBudget(h, CustomParams{}, 0, used));
    EXPECT_EQ(used, 0);
    EXPECT_TRUE(SameRecord(h.parameters, CustomParams{}));
}

}  // namespace
