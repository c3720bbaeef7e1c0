// Entry as it is written: random sequences read back step for step, a bad
// step always named with its own text, and lines read back as written.
#include <kestrane/entry.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string written(const efm8_step &step)
{
    switch (step.kind) {
    case EFM8_STEP_RESET: return "reset=" + std::to_string(step.value);
    case EFM8_STEP_BOOT: return "boot=" + std::to_string(step.value);
    default:
        return "wait=" + (step.value % 1000 == 0 && step.value > 0 ? std::to_string(step.value / 1000) + "s"
                                                                   : std::to_string(step.value) + "ms");
    }
}

efm8_entry with_lines()
{
    efm8_entry entry;
    efm8_default_entry(&entry);
    char error[256];
    EXPECT_EQ(efm8_parse_line("rts", &entry.reset, error, sizeof error), EFM8_OK);
    EXPECT_EQ(efm8_parse_line("gpio:gpiochip0:4", &entry.boot, error, sizeof error), EFM8_OK);
    return entry;
}

std::vector<std::string> pieces(const std::string &text)
{
    std::vector<std::string> all;
    std::size_t start = 0, comma;
    while ((comma = text.find(',', start)) != std::string::npos) {
        all.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    all.push_back(text.substr(start));
    return all;
}

TEST(EntrySequence, RandomSequencesReadBackAndBadStepsAreNamed)
{
    std::mt19937 random(21);
    const std::string noise = "=,0123456789msxq:- ";
    for (int round = 0; round < 2000; ++round) {
        std::vector<efm8_step> steps(1 + random() % EFM8_STEPS_MAX);
        std::string text;
        for (efm8_step &step : steps) {
            step.kind = static_cast<efm8_step_kind>(random() % 3);
            step.value = step.kind == EFM8_STEP_WAIT ? random() % (EFM8_WAIT_MAX_MS + 1) : random() % 2;
            text += (text.empty() ? "" : ",") + written(step);
        }
        efm8_entry entry = with_lines();
        char error[256] = "";
        ASSERT_EQ(efm8_parse_entry_sequence(text.c_str(), &entry, error, sizeof error), EFM8_OK) << text << error;
        ASSERT_EQ(entry.step_count, steps.size());
        for (std::size_t i = 0; i < steps.size(); ++i)
            ASSERT_TRUE(entry.steps[i].kind == steps[i].kind && entry.steps[i].value == steps[i].value) << text;

        // One character changed: read as written, or refused naming the
        // step that holds it by its own text.
        std::string changed = text;
        changed[random() % changed.size()] = noise[random() % noise.size()];
        efm8_entry again = with_lines();
        if (efm8_parse_entry_sequence(changed.c_str(), &again, error, sizeof error) == EFM8_OK)
            continue;
        const std::vector<std::string> all = pieces(changed);
        const std::string said = error;
        bool named = all.size() > EFM8_STEPS_MAX;
        for (std::size_t i = 0; i < all.size() && !named; ++i)
            named = said.rfind("step " + std::to_string(i + 1) + ", '" + all[i] + "': ", 0) == 0;
        ASSERT_TRUE(named) << changed << ": " << said;
    }
}

TEST(EntrySequence, RolesNeedTheirLinesAndDefaultsHoldAsDocumented)
{
    efm8_entry entry;
    efm8_default_entry(&entry);
    char error[256];
    EXPECT_EQ(efm8_parse_entry_sequence("reset=1", &entry, error, sizeof error), EFM8_ERR_OPTIONS);
    EXPECT_STREQ(error, "step 1, 'reset=1': no reset line is given (--reset LINE)");
    efm8_step steps[EFM8_STEPS_MAX];
    EXPECT_EQ(efm8_entry_steps(&entry, steps, EFM8_STEPS_MAX), 0u);

    entry = with_lines();
    ASSERT_EQ(efm8_entry_steps(&entry, steps, EFM8_STEPS_MAX), 6u);
    std::string text;
    for (std::size_t i = 0; i < 6; ++i)
        text += (i ? "," : "") + written(steps[i]);
    EXPECT_EQ(text, "boot=1,reset=1,wait=10ms,reset=0,wait=50ms,boot=0");
    entry.boot.kind = EFM8_LINE_NONE;
    ASSERT_EQ(efm8_entry_steps(&entry, steps, EFM8_STEPS_MAX), 4u);
    EXPECT_TRUE(steps[0].kind == EFM8_STEP_RESET && steps[0].value == 1 && steps[3].value == EFM8_BOOT_HOLD_MS);
}

TEST(EntryLine, LinesReadBackAsWrittenAndOthersAreRefused)
{
    for (const char *text : {"rts", "dtr", "rts:active-high", "gpio:gpiochip0:17", "gpio:/dev/gpiochip1:0:active-high",
                             "gpio:pinctrl:bcm2835:4294967295"}) {
        efm8_line line;
        char error[256], back[EFM8_LINE_TEXT_MAX + 16];
        ASSERT_EQ(efm8_parse_line(text, &line, error, sizeof error), EFM8_OK) << text << error;
        efm8_line_text(&line, back, sizeof back);
        EXPECT_STREQ(back, text);
    }
    for (const char *text : {"", "cts", "RTS", "rts:active-low", "gpio:", "gpio:chip", "gpio::4", "gpio:c:4294967296",
                             "gpio:c:-1", "gpio:c:1x", ":active-high", "gpio:c: 1"}) {
        efm8_line line;
        char error[256];
        EXPECT_EQ(efm8_parse_line(text, &line, error, sizeof error), EFM8_ERR_OPTIONS) << text;
        EXPECT_NE(std::string(error).find(text), std::string::npos) << error;
    }
}

}  // namespace
