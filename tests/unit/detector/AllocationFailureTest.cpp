// What runs out of memory: each allocation of an operation fails in turn.
// SetParameters is all or nothing; the detector's no-throw operations return
// their failure value with a reason, never terminate, and lose nothing for
// good; the network pool keeps its capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <new>
#include <string>

#include <opencv2/core.hpp>

#include "DetectorTestUtil.h"
#include "RecordTestUtil.h"
#include "engines/NetPool.h"
#include "korva/IKorvaCustomClass.h"
#include "korva/KorvaCustomWD.h"

namespace {

// The detector runs on OpenCV's engine here: ONNX Runtime 1.31.1 frees a wild
// pointer inside Run when an allocation fails there, which no caller can guard
// against. Set before any detector reads it.
const bool kOpenCvEngine = [] {
#ifdef _WIN32
    return _putenv_s("KORVA_ENGINE", "opencv") == 0;
#else
    return setenv("KORVA_ENGINE", "opencv", 1) == 0;
#endif
}();

// While armed, counts the calling thread's allocations and throws once
// `g_allowed` are used up. Other threads (OpenCV's workers) are not limited.
thread_local bool g_armed = false;
thread_local long g_allowed = 0;
thread_local long g_count = 0;

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

// Runs `call` with at most `allowed` allocations on this thread; returns the
// number it made. Disarms also when `call` throws.
long WithBudget(long allowed, const std::function<void()>& call) {
    struct Disarm {
        ~Disarm() { g_armed = false; }
    } disarm;
    g_count = 0;
    g_allowed = allowed;
    g_armed = true;
    call();
    return g_count;
}

// Budgets to try for a call that needs `needed` allocations: every one of the
// first 40, then 40 spread over the rest.
std::vector<long> Budgets(long needed) {
    std::vector<long> budgets;
    for (long b = 0; b < std::min<long>(needed, 40); ++b) budgets.push_back(b);
    for (long i = 1; i <= 40 && needed > 40; ++i) budgets.push_back(40 + (needed - 40) * i / 41);
    return budgets;
}

using korva::test::ModelDir;
using korva::test::RandomFrame;
using korva::test::SameDetections;

// What a call needs, made before the budget starts, and what it saw.
struct Scratch {
    std::string folder = ModelDir("v8_nc3");
    std::string labels;
    CustomParams params;
    KorvaCustomWD::ParameterReport report;
    KorvaCustomWD::InferenceStatistics before;
    bool found = false;
};

// One no-throw operation of the detector, run with a limited allocation
// budget. `prepare` sets up its arguments, `run` makes the call and says
// whether it succeeded; `check` then verifies, with memory again, what the
// outcome must leave behind.
struct NoMemoryCase {
    const char* name;
    bool loaded;  // the v8_nc3 model is loaded before
    std::function<void(Scratch&)> prepare;
    std::function<bool(KorvaCustomWD&, Scratch&)> run;
    std::function<void(KorvaCustomWD&, const Scratch&, bool succeeded)> check;
};

const cv::Mat& Frame() {
    static const cv::Mat frame = RandomFrame({160, 120}, CV_8UC3, 17);
    return frame;
}

const std::vector<CustomObject>& Reference() {
    static const std::vector<CustomObject> reference = [] {
        KorvaCustomWD d;
        std::string labels;
        if (!d.Initialize(ModelDir("v8_nc3"), 0.3f, labels)) return std::vector<CustomObject>{};
        return d.RunInference(Frame(), "cam");
    }();
    return reference;
}

void ExpectReason(KorvaCustomWD& d, bool succeeded) {
    const std::string reason = d.LastError();
    EXPECT_EQ(reason.empty(), succeeded) << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
}

// The detector serves the model it had before (or none).
void ExpectServing(KorvaCustomWD& d, bool loaded) {
    const auto got = d.RunInference(Frame(), "cam");
    EXPECT_TRUE(loaded ? SameDetections(got, Reference()) : got.empty()) << got.size() << " detections";
}

class NoMemoryTest : public testing::TestWithParam<NoMemoryCase> {};

TEST_P(NoMemoryTest, FailsWithAReasonAndLosesNothing) {
    const NoMemoryCase& c = GetParam();
    ASSERT_TRUE(kOpenCvEngine);
    ASSERT_FALSE(Reference().empty());
    auto make = [&](KorvaCustomWD& d) {
        std::string labels;
        if (c.loaded) {
            ASSERT_TRUE(d.Initialize(ModelDir("v8_nc3"), 0.3f, labels)) << d.LastError();
            // Every network of the pool exists: the pool then allocates nothing of its own.
            ASSERT_FALSE(d.RunInference(Frame(), "cam").empty());
        }
    };
    long needed = 0;
    {
        KorvaCustomWD d;
        make(d);
        ASSERT_FALSE(HasFatalFailure());
        Scratch scratch;
        c.prepare(scratch);
        bool ok = false;
        needed = WithBudget(1'000'000'000, [&] { ok = c.run(d, scratch); });
        ASSERT_TRUE(ok) << "unlimited memory: " << d.LastError();
        c.check(d, scratch, ok);
    }
    int failures = 0;
    for (long budget : Budgets(needed)) {
        KorvaCustomWD d;
        make(d);
        ASSERT_FALSE(HasFatalFailure());
        Scratch scratch;
        c.prepare(scratch);
        bool ok = true;
        WithBudget(budget, [&] { ok = c.run(d, scratch); });
        failures += ok ? 0 : 1;
        SCOPED_TRACE("allocations allowed: " + std::to_string(budget) + " of " + std::to_string(needed));
        c.check(d, scratch, ok);
    }
    EXPECT_GT(needed, 0) << "nothing to fail";
    if (c.loaded) {
        EXPECT_GT(failures, 0) << "no budget made the operation fail; the test saw nothing";
    }
}

void NoPreparation(Scratch&) {}

INSTANTIATE_TEST_SUITE_P(
    Operations, NoMemoryTest,
    testing::Values(
        // Refused in any case; memory running out on the way must not end the
        // process, and the refusal still has a reason.
        NoMemoryCase{"InitializeMissingFolder", false,
                     [](Scratch& s) { s.folder = std::string(KORVA_TEST_MODELS_DIR) + "/absent/folder"; },
                     [](KorvaCustomWD& d, Scratch& s) { return !d.Initialize(s.folder, 0.5f, s.labels); },
                     [](KorvaCustomWD& d, const Scratch&, bool) {
                         EXPECT_FALSE(d.LastError().empty());
                         ExpectServing(d, false);
                     }},
        NoMemoryCase{"InitializeOverALoadedModel", true, NoPreparation,
                     [](KorvaCustomWD& d, Scratch& s) { return d.Initialize(s.folder, 0.3f, s.labels); },
                     [](KorvaCustomWD& d, const Scratch&, bool ok) {
                         ExpectReason(d, ok);
                         ExpectServing(d, true);
                     }},
        NoMemoryCase{"RunInference", true, NoPreparation,
                     [](KorvaCustomWD& d, Scratch& s) {
                         s.before = d.Statistics();
                         s.found = !d.RunInference(Frame(), "cam").empty();
                         return d.Statistics().inferenceFailures == s.before.inferenceFailures;
                     },
                     [](KorvaCustomWD& d, const Scratch& s, bool ok) {
                         ExpectReason(d, ok);
                         EXPECT_EQ(d.LastInferenceError().empty(), ok) << d.LastInferenceError();
                         // Exactly one of inspected and failed; an empty result is never silent.
                         const auto after = d.Statistics();
                         EXPECT_EQ(after.framesInspected - s.before.framesInspected, ok ? 1u : 0u);
                         EXPECT_EQ(after.inferenceFailures - s.before.inferenceFailures, ok ? 0u : 1u);
                         EXPECT_EQ(s.found, ok);
                         ExpectServing(d, true);
                     }},
        NoMemoryCase{"OptimizeModel", true, NoPreparation,
                     [](KorvaCustomWD& d, Scratch&) { return d.OptimizeModel(false); },
                     [](KorvaCustomWD& d, const Scratch&, bool ok) {
                         ExpectReason(d, ok);
                         ExpectServing(d, true);
                     }},
        NoMemoryCase{"ConfigureParameters", true, [](Scratch& s) { s.params.texts = {"untouched"}; },
                     [](KorvaCustomWD& d, Scratch& s) { return d.ConfigureParameters(s.params); },
                     [](KorvaCustomWD& d, const Scratch& s, bool ok) {
                         ExpectReason(d, ok);
                         if (ok) {
                             EXPECT_FALSE(s.params.valueListEntries.empty());
                         } else {
                             EXPECT_EQ(s.params.texts, std::vector<std::string>{"untouched"});
                         }
                     }},
        NoMemoryCase{"ApplyParameters", true,
                     [](Scratch& s) {
                         s.params.valueListEntries.push_back({"confidence_threshold", {0.99}, "", "", 0});
                     },
                     [](KorvaCustomWD& d, Scratch& s) { return d.ApplyParameters(s.params, s.report); },
                     [](KorvaCustomWD& d, const Scratch&, bool ok) {
                         ExpectReason(d, ok);
                         // 0.99 leaves nothing of the reference; a failure leaves 0.3.
                         if (ok) {
                             EXPECT_TRUE(d.RunInference(Frame(), "cam").empty());
                         } else {
                             ExpectServing(d, true);
                         }
                     }},
        // An empty list for want of memory is told from "no camera yet".
        NoMemoryCase{"CameraStatisticsSnapshot", true, NoPreparation,
                     [](KorvaCustomWD& d, Scratch&) { return !d.CameraStatisticsSnapshot().empty(); },
                     [](KorvaCustomWD& d, const Scratch&, bool ok) {
                         ExpectReason(d, ok);
                         EXPECT_EQ(d.LastErrorCode(), ok ? KorvaErrorCode::kNone : KorvaErrorCode::kOutOfMemory);
                     }}),
    [](const testing::TestParamInfo<NoMemoryCase>& info) { return std::string(info.param.name); });

TEST(NoMemory, ReasonsReadWithoutMemoryAreEmptyNotThrown) {
    KorvaCustomWD d;
    std::string labels;
    ASSERT_FALSE(d.Initialize(std::string(KORVA_TEST_MODELS_DIR) + "/absent", 0.5f, labels));
    ASSERT_FALSE(d.LastError().empty());
    std::string reason = "x";
    WithBudget(0, [&] { reason = d.LastError(); });
    EXPECT_EQ(reason, "");
}

// The pool's capacity survives a network that could not be made.
TEST(NetPoolAllocation, FailedCreationGivesThePlaceBack) {
    korva::detail::NetPool pool(cv::dnn::Net(), [] { return cv::dnn::Net(); }, 2);
    auto first = pool.Acquire();
    EXPECT_THROW(WithBudget(0, [&] { (void)pool.Acquire(); }), std::bad_alloc);

    // The second place is free again: a new slot, not the first one back.
    korva::detail::NetSlot* const firstSlot = &*first;
    auto second = std::async(std::launch::async, [&] {
        auto lease = pool.Acquire();
        return &*lease;
    });
    if (second.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // The place was lost and the call waits for `first`: let it have it.
        auto released = std::move(first);
    }
    EXPECT_NE(second.get(), firstSlot);
}

// Returning a lease never allocates (a lease is returned from a destructor).
TEST(NetPoolAllocation, ReturningLeasesNeedsNoMemory) {
    korva::detail::NetPool pool(cv::dnn::Net(), [] { return cv::dnn::Net(); }, 4);
    std::vector<korva::detail::NetPool::Lease> leases;
    for (int i = 0; i < 4; ++i) leases.push_back(pool.Acquire());
    const long used = WithBudget(0, [&] { leases.clear(); });
    EXPECT_EQ(used, 0);
    // All four come back: four leases at once without waiting.
    for (int i = 0; i < 4; ++i) leases.push_back(pool.Acquire());
    EXPECT_EQ(leases.size(), 4u);
}

}  // namespace
