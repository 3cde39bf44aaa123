#include "ui/queue_end_countdown.h"

#include <gtest/gtest.h>

#include <vector>

namespace twk::ui {
namespace {

// A sequence of looks (busy?, at ms) and the step each gives.
struct Look {
    bool busy;
    int64_t at_ms;
    QueueEndStep step;
};

void play(QueueEndCountdown& countdown, const std::vector<Look>& looks, const char* name) {
    for (size_t i = 0; i < looks.size(); ++i)
        EXPECT_EQ(countdown.observe(looks[i].busy, looks[i].at_ms), looks[i].step) << name << ", look " << i;
}

TEST(QueueEndCountdown, CountsDownOnceTheQueueEmptiesAndActsOnce) {
    QueueEndCountdown countdown;
    countdown.set_action(1);
    play(countdown,
         {{false, 0, QueueEndStep::kNone}, // nothing ran yet: an idle start asks nothing
          {true, 1000, QueueEndStep::kNone},
          {false, 2000, QueueEndStep::kAsk},
          {false, 2500, QueueEndStep::kTick},
          {false, 61'999, QueueEndStep::kTick},
          {false, 62'000, QueueEndStep::kAct},
          {false, 63'000, QueueEndStep::kNone}, // once
          {false, 200'000, QueueEndStep::kNone}},
         "suspend");
    EXPECT_FALSE(countdown.counting());
}

TEST(QueueEndCountdown, CancelAndNewDownloadsStopItAndALaterEmptyingAsksAgain) {
    QueueEndCountdown countdown;
    countdown.set_action(2);
    play(countdown, {{true, 0, QueueEndStep::kNone}, {false, 1000, QueueEndStep::kAsk}}, "start");
    EXPECT_EQ(countdown.seconds_left(1000), 60);
    EXPECT_EQ(countdown.seconds_left(1001), 60);
    EXPECT_EQ(countdown.seconds_left(2000), 59);
    countdown.cancel();
    EXPECT_EQ(countdown.seconds_left(2000), 0);
    play(countdown,
         {{false, 70'000, QueueEndStep::kNone}, // canceled: never acts
          {true, 80'000, QueueEndStep::kNone},
          {false, 81'000, QueueEndStep::kAsk}, // emptied again: asks again
          {true, 82'000, QueueEndStep::kDismiss},
          {false, 83'000, QueueEndStep::kAsk}},
         "cancel");
    countdown.set_action(0); // turned off while counting
    play(countdown,
         {{false, 84'000, QueueEndStep::kDismiss},
          {true, 85'000, QueueEndStep::kNone},
          {false, 86'000, QueueEndStep::kNone}},
         "off");
}

} // namespace
} // namespace twk::ui
