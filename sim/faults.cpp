#include "sim/faults.h"

namespace sim {

std::uint64_t Rng::next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1DULL;
}

double Rng::uniform() {
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

bool Trigger::fire(Rng& rng) {
    if (times == 0) {
        return false;
    }
    if (skip > 0) {
        --skip;
        return false;
    }
    if (probability < 1.0 && rng.uniform() >= probability) {
        return false;
    }
    if (times > 0) {
        --times;
    }
    return true;
}

bool fire_keyed(std::map<std::uint8_t, Trigger>& triggers, std::uint8_t key, Rng& rng) {
    const auto found = triggers.find(key);
    return found != triggers.end() && found->second.fire(rng);
}

}  // namespace sim
