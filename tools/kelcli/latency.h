// latency.h - a histogram of durations that answers percentiles in fixed
// memory, however long a load test runs.
//
// Durations below 64 ns are kept exactly; above, each power of two is cut
// into 64 buckets, so that a percentile is off by less than 1/64 (1.6 %) of
// its value. The maximum is kept exactly.
#ifndef KELCLI_LATENCY_H
#define KELCLI_LATENCY_H

#include <array>
#include <cmath>
#include <cstdint>

namespace kelcli {

class LatencyHistogram {
public:
    void Add(std::uint64_t nanoseconds) {
        ++counts_[BucketOf(nanoseconds)];
        ++count_;
        if (nanoseconds > max_) max_ = nanoseconds;
    }

    void Merge(const LatencyHistogram &other) {
        for (std::size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
        count_ += other.count_;
        if (other.max_ > max_) max_ = other.max_;
    }

    std::uint64_t Count() const { return count_; }
    std::uint64_t Max() const { return max_; }

    // The duration that fraction (0 to 1) of all durations do not exceed:
    // the middle of its bucket, never above the maximum; the maximum itself
    // for the last rank; 0 when empty.
    std::uint64_t Percentile(double fraction) const {
        if (count_ == 0) return 0;
        // The nearest rank: the smallest one that covers the fraction.
        std::uint64_t rank =
            static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(count_) - 1e-9));
        if (rank < 1) rank = 1;
        if (rank >= count_) return max_;
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < kBuckets; ++i) {
            seen += counts_[i];
            if (seen >= rank && i + 1 < kBuckets) {
                std::uint64_t middle = LowerBound(i) + Width(i) / 2;
                return middle < max_ ? middle : max_;
            }
        }
        return max_;
    }

private:
    static constexpr unsigned kSubBits = 6;  // 64 buckets per power of two
    static constexpr std::uint64_t kSub = 1u << kSubBits;
    static constexpr unsigned kTopExponent = 47;  // about 39 hours; longer ones share the last bucket
    static constexpr std::size_t kBuckets = kSub + (kTopExponent - kSubBits + 1) * kSub;

    static unsigned Exponent(std::uint64_t value) {
        unsigned exponent = 0;
        while (value >>= 1) ++exponent;
        return exponent;
    }

    static std::size_t BucketOf(std::uint64_t value) {
        if (value < kSub) return static_cast<std::size_t>(value);
        unsigned exponent = Exponent(value);
        if (exponent > kTopExponent) return kBuckets - 1;
        std::uint64_t sub = (value >> (exponent - kSubBits)) & (kSub - 1);
        return static_cast<std::size_t>(kSub + (exponent - kSubBits) * kSub + sub);
    }

    static std::uint64_t LowerBound(std::size_t bucket) {
        if (bucket < kSub) return bucket;
        std::size_t exponent = (bucket - kSub) / kSub + kSubBits;
        std::uint64_t sub = (bucket - kSub) % kSub;
        return (kSub + sub) << (exponent - kSubBits);
    }

    static std::uint64_t Width(std::size_t bucket) {
        if (bucket < kSub) return 1;
        return std::uint64_t{1} << ((bucket - kSub) / kSub);
    }

    std::array<std::uint64_t, kBuckets> counts_{};
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

}  // namespace kelcli

#endif
