// Sound without a device: which events a change of the model gives, the settings
// file, and the synthesized samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "game/model.h"
#include "sound/events.h"
#include "sound/settings.h"
#include "sound/synth.h"

namespace {

// The own car driving with a full tank in the middle of play.
sound_view playing()
{
    sound_view v{};
    v.game_status = GS_PLAY;
    v.status_count = 300;
    v.x = v.y = 160;
    v.status = PS_DRIVE;
    v.fuel = FUEL_FULL;
    return v;
}

}  // namespace

TEST(SoundEvents, EachReadyNumberAndGoSoundOnceButLeavingThePauseDoesNot)
{
    sound_view lobby = playing(), ready = playing();
    lobby.game_status = GS_LOBBY;
    ready.game_status = GS_READY;
    ready.status_count = 3;
    EXPECT_EQ(detect_events(lobby, ready), EV_COUNTDOWN);
    EXPECT_EQ(detect_events(ready, ready), 0u);
    sound_view two = ready;
    two.status_count = 2;
    EXPECT_EQ(detect_events(ready, two), EV_COUNTDOWN);

    sound_view go = playing();
    go.status_count = 1;
    EXPECT_EQ(detect_events(two, go), EV_GO);
    EXPECT_EQ(detect_events(go, playing()), 0u);
    sound_view pause = playing();
    pause.game_status = GS_PAUSE;
    EXPECT_EQ(detect_events(pause, playing()), 0u);
    sound_view watcher = go;
    watcher.status = PS_NONE;
    EXPECT_EQ(detect_events(two, watcher) & EV_GO, 0u);
}

TEST(SoundEvents, FlagsRingOnlyWhenTheOwnCountRisesAndMarkedFlagsRingApart)
{
    sound_view before = playing(), after = playing();
    after.flags = 1;
    after.score = 100;
    EXPECT_EQ(detect_events(before, after), EV_FLAG);
    after.score = 200;
    EXPECT_EQ(detect_events(before, after), EV_MARKED_FLAG);
    // A new round puts the count back to zero: no sound.
    EXPECT_EQ(detect_events(after, before), 0u);
    // The last flag's record may come after the stage clear.
    sound_view cleared = after;
    cleared.game_status = GS_STAGE_CLEARED;
    sound_view cleared_before = before;
    cleared_before.game_status = GS_STAGE_CLEARED;
    EXPECT_EQ(detect_events(cleared_before, cleared), EV_MARKED_FLAG);
    // Records of a game in the lobby or on the results screen ring nothing.
    sound_view lobby_before = before, lobby_after = after;
    lobby_before.game_status = lobby_after.game_status = GS_LOBBY;
    EXPECT_EQ(detect_events(lobby_before, lobby_after), 0u);
    // Scores at the ends of the range do not overflow the step.
    before.score = INT_MAX;
    after.score = INT_MIN;
    EXPECT_EQ(detect_events(before, after), EV_FLAG);
    before.score = INT_MIN;
    after.score = INT_MAX;
    EXPECT_EQ(detect_events(before, after), EV_MARKED_FLAG);
}

TEST(SoundEvents, BurstAndFuelSoundOnTheirFirstTickOnly)
{
    sound_view drive = playing(), burst = playing();
    burst.status = PS_BURST;
    EXPECT_EQ(detect_events(drive, burst), EV_BURST);
    EXPECT_EQ(detect_events(burst, burst), 0u);

    sound_view low = playing();
    low.fuel = FUEL_WARNING_LEVEL - 1;
    EXPECT_EQ(detect_events(drive, low), EV_FUEL_LOW);
    EXPECT_TRUE(fuel_warning_shown(low));
    EXPECT_EQ(detect_events(low, low), 0u);
    sound_view dry = low;
    dry.fuel = 0;
    dry.status = PS_NOFUEL;
    EXPECT_EQ(detect_events(low, dry), EV_FUEL_EMPTY);
    EXPECT_FALSE(fuel_warning_shown(dry));
}

TEST(SoundEvents, OnlyANewPuffSoundsNotOneTheServerSendsAgainAtFullSize)
{
    sound_view before = playing(), after = playing();
    after.smoke[5] = smokeinfo{100, 200, 40};
    EXPECT_EQ(detect_events(before, after), EV_SMOKE);
    sound_view faded = after;
    faded.smoke[5].size = 12;
    EXPECT_EQ(detect_events(faded, after), 0u);
    sound_view elsewhere = after;
    elsewhere.smoke[5].x += CELL_SIZE;
    EXPECT_EQ(detect_events(faded, elsewhere), EV_SMOKE);
}

TEST(SoundEvents, StatusScreensSoundOnEntryAndTheEngineFollowsMoves)
{
    sound_view play = playing(), next = playing();
    next.game_status = GS_STAGE_CLEARED;
    EXPECT_EQ(detect_events(play, next), EV_STAGE_CLEAR);
    for (int status : {GS_ROUND_RESULT, GS_FINAL_RESULT}) {
        next.game_status = status;
        EXPECT_EQ(detect_events(play, next), EV_RESULT) << status;
        EXPECT_EQ(detect_events(next, next), 0u) << status;
    }
    next.game_status = GS_GAME_OVER;
    EXPECT_EQ(detect_events(play, next), EV_GAME_OVER);

    sound_view moved = playing();
    moved.x += 4;
    EXPECT_EQ(detect_events(play, moved), EV_MOVED);
    moved.status = PS_BURST;
    EXPECT_EQ(detect_events(play, moved) & EV_MOVED, 0u);
}

TEST(SoundEvents, TheViewIsTheOwnCarNotTheFirstRecord)
{
    reset_model();
    entry_no = 2;
    me = &players[2];
    players[0].flags = 7;
    me->flags = 3;
    me->fuel = 1234;
    smoke[23].size = 9;
    game_status = GS_PLAY;
    sound_view v{};
    take_view(v);
    EXPECT_EQ(v.flags, 3);
    EXPECT_EQ(v.fuel, 1234);
    EXPECT_EQ(v.smoke[23].size, 9);
    EXPECT_EQ(v.game_status, GS_PLAY);
    reset_model();
}

class SoundSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/mazecar-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    void write_file(const std::string &path, const std::string &text)
    {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    std::string dir;
};

TEST_F(SoundSettings, PathFollowsXdgConfigHomeThenHome)
{
    const char *home = getenv("HOME");
    std::string saved_home = home ? home : "";
    char path[SETTINGS_PATH_SIZE];
    setenv("HOME", "/home/p", 1);
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    ASSERT_TRUE(settings_path(path, sizeof path));
    EXPECT_STREQ(path, "/cfg/mazecar/sound");
    setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // only absolute paths count
    ASSERT_TRUE(settings_path(path, sizeof path));
    EXPECT_STREQ(path, "/home/p/.config/mazecar/sound");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    EXPECT_FALSE(settings_path(path, sizeof path));
    setenv("XDG_CONFIG_HOME", std::string(SETTINGS_PATH_SIZE, '/').c_str(), 1);
    EXPECT_FALSE(settings_path(path, sizeof path));
    unsetenv("XDG_CONFIG_HOME");
    if (home)
        setenv("HOME", saved_home.c_str(), 1);
}

TEST_F(SoundSettings, WrittenSettingsAreReadBackAndNoTemporaryFileIsLeft)
{
    std::string path = dir + "/config/mazecar/sound";
    ASSERT_TRUE(write_settings(path.c_str(), sound_settings{0.35, true}));
    sound_settings s = read_settings(path.c_str());
    EXPECT_NEAR(s.volume, 0.35, 1e-9);
    EXPECT_TRUE(s.muted);
    ASSERT_TRUE(write_settings(path.c_str(), sound_settings{1.0, false}));
    s = read_settings(path.c_str());
    EXPECT_EQ(s.volume, 1.0);
    EXPECT_FALSE(s.muted);
    std::string listing = "ls -A '" + dir + "/config/mazecar' | wc -l | grep -qx 1";
    EXPECT_EQ(system(listing.c_str()), 0) << "a temporary file was left beside the settings";
}

TEST_F(SoundSettings, DamagedOrHostileFilesGiveTheDefaults)
{
    std::string path = dir + "/sound";
    EXPECT_EQ(read_settings(path.c_str()).volume, DEFAULT_SETTINGS.volume);  // missing
    const char *bad[] = {"volume 1.5\nmuted 2\n", "volume nan\nmuted -1\n",
                         "volume -0.1\nmuted x\n", "volume\nmuted\n", "\x01\xff garbage"};
    for (const char *text : bad) {
        write_file(path, text);
        sound_settings s = read_settings(path.c_str());
        EXPECT_EQ(s.volume, DEFAULT_SETTINGS.volume) << text;
        EXPECT_EQ(s.muted, DEFAULT_SETTINGS.muted) << text;
    }
    // Good lines among bad ones count; a file far longer than two lines is read only
    // in its first part.
    write_file(path, "colour red\nvolume 0.5\r\nmuted 1\n" + std::string(5000, 'v'));
    sound_settings s = read_settings(path.c_str());
    EXPECT_EQ(s.volume, 0.5);
    EXPECT_TRUE(s.muted);
    write_file(path, std::string(5000, ' ') + "muted 1\n");
    EXPECT_FALSE(read_settings(path.c_str()).muted);
}

TEST(SoundSynthesis, EverySoundIsThereAndNoneClicks)
{
    synthesize_sounds();
    for (int id = 0; id < SND_COUNT; id++) {
        pcm_span pcm = sound_pcm(id);
        ASSERT_GT(pcm.count, SYNTH_RATE / 20) << id;
        if (id == SND_ENGINE)
            continue;
        // One-shot sounds fade in and out: the first and last samples are near zero.
        EXPECT_LT(std::abs(pcm.samples[0]), 200) << id;
        EXPECT_LT(std::abs(pcm.samples[pcm.count - 1]), 200) << id;
    }
    // The engine loops: from its last sample back to its first is an ordinary step.
    pcm_span engine = sound_pcm(SND_ENGINE);
    int seam = std::abs(engine.samples[0] - engine.samples[engine.count - 1]);
    int largest_step = 0;
    for (int i = 1; i < engine.count; i++)
        largest_step = std::max(largest_step, std::abs(engine.samples[i] - engine.samples[i - 1]));
    EXPECT_LE(seam, largest_step);
    EXPECT_EQ(sound_pcm(SND_COUNT).count, 0);
    EXPECT_EQ(sound_pcm(-1).count, 0);
}
