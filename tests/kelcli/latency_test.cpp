// The latency histogram of kelcli bench: percentiles within its stated
// precision, exact small values and maximum, and merging.
#include "latency.h"

#include <gtest/gtest.h>

#include <cstdint>

using kelcli::LatencyHistogram;

namespace {

// Durations 1 * step to count * step, in a scrambled order.
LatencyHistogram Uniform(std::uint64_t count, std::uint64_t step) {
    LatencyHistogram histogram;
    for (std::uint64_t i = 0; i < count; ++i) histogram.Add(((i * 7919) % count + 1) * step);
    return histogram;
}

TEST(LatencyHistogram, PercentilesLieWithinOneBucketOfTheExactRank) {
    struct Case {
        std::uint64_t count, step;
        double fraction;
    };
    const Case cases[] = {
        {1000, 1000, 0.5}, {1000, 1000, 0.9}, {1000, 1000, 0.99},  {1000, 1000, 1.0},  {100, 1, 0.5},
        {100, 1, 0.99},    {7, 1000000, 0.5}, {1, 123456789, 0.5}, {50000, 37, 0.999}, {3, 1u << 20, 0.9},
    };
    for (const Case &c : cases) {
        LatencyHistogram histogram = Uniform(c.count, c.step);
        std::uint64_t rank = static_cast<std::uint64_t>(c.fraction * static_cast<double>(c.count) + 0.999999);
        double exact = static_cast<double>(rank * c.step);
        double got = static_cast<double>(histogram.Percentile(c.fraction));
        EXPECT_NEAR(got, exact, exact / 64 + 1) << c.count << " x " << c.step << " at " << c.fraction;
        EXPECT_EQ(histogram.Max(), c.count * c.step);
        EXPECT_EQ(histogram.Count(), c.count);
    }
}

TEST(LatencyHistogram, SmallValuesAreExactAndHugeOnesAreKept) {
    LatencyHistogram histogram;
    for (std::uint64_t value : {0, 1, 2, 63}) histogram.Add(value);
    EXPECT_EQ(histogram.Percentile(0.25), 0u);
    EXPECT_EQ(histogram.Percentile(0.5), 1u);
    EXPECT_EQ(histogram.Percentile(0.75), 2u);
    EXPECT_EQ(histogram.Percentile(1.0), 63u);
    histogram.Add(~std::uint64_t{0});
    EXPECT_EQ(histogram.Percentile(1.0), ~std::uint64_t{0});
    EXPECT_EQ(LatencyHistogram().Percentile(0.5), 0u);
}

TEST(LatencyHistogram, MergedHistogramsAnswerAsOne) {
    LatencyHistogram low = Uniform(500, 1000), high;
    for (std::uint64_t i = 501; i <= 1000; ++i) high.Add(i * 1000);
    low.Merge(high);
    LatencyHistogram whole = Uniform(1000, 1000);
    EXPECT_EQ(low.Count(), 1000u);
    EXPECT_EQ(low.Max(), 1000000u);
    for (double fraction : {0.1, 0.5, 0.9, 0.99})
        EXPECT_EQ(low.Percentile(fraction), whole.Percentile(fraction));
}

}  // namespace
