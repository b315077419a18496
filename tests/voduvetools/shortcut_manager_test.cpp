#include "voduvetools/shortcut_manager.hpp"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_folder.hpp"

#include "common/atomic_file.hpp"
#include "common/error.hpp"

namespace corvel::voduvetools {
namespace {

namespace fs = std::filesystem;
using Modifier = VoduveShortcut::Modifier;

const platform::LocalDateTime kNow{2026, 3, 4, 5, 6, 7, 89};
const char* const kFirstBackup = "voduve-kb.backup-20260304-050607-089.ini";
const char* const kSecondBackup = "voduve-kb.backup-20260304-050607-090.ini";

const VoduveShortcut kShiftCommandR = *VoduveShortcut::fromLetter("R", {Modifier::shift, Modifier::command});
const VoduveShortcut kShiftCommandV = *VoduveShortcut::fromLetter("V", {Modifier::shift, Modifier::command});

class KeymapFiles : public corvel::testing::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        keymap = root / "VODUVE" / "voduve-kb.ini";
        backups = root / "Backups";
    }
    VoduveShortcutManager manager(VoduveShortcutManager::RenameFunction rename = VoduveShortcutManager::posixRename,
                                  std::function<void()> beforeReplace = nullptr) {
        return VoduveShortcutManager(
            {[] { return platform::timePointFromLocal(kNow); }, std::move(rename), std::move(beforeReplace)});
    }

    std::optional<fs::path> registerTool(const VoduveShortcutManager& m, const std::string& id,
                                         std::optional<VoduveShortcut> shortcut, bool replace = false) {
        return m.registerActionAndShortcut(id, "Tool " + id, "Orvanta Corvel/" + id + ".lua", shortcut, replace,
                                           keymap, backups);
    }

    bool tempFileLeft() const { return fs::exists(keymap.parent_path() / kKeymapTemporaryFileName); }

    fs::path keymap, backups;
};

// A rename that replaces the keymap and then spoils it, as a disk or another writer
// might; later renames (the restore) behave normally.
VoduveShortcutManager::RenameFunction renameThenOverwrite(std::string replacement, int* calls) {
    return [replacement, calls](const fs::path& from, const fs::path& to) {
        if ((*calls)++ > 0) return VoduveShortcutManager::posixRename(from, to);
        const int result = VoduveShortcutManager::posixRename(from, to);
        std::ofstream(to, std::ios::binary | std::ios::trunc) << replacement;
        return result;
    };
}

TEST_F(KeymapFiles, MissingKeymapIsCreatedAndASecondRunChangesNothing) {
    const auto m = manager();
    EXPECT_EQ(registerTool(m, "RS1", kShiftCommandR), std::nullopt);
    EXPECT_EQ(read(keymap), VoduveKeymapDocument::scriptLine("RS1", "Tool RS1", "Orvanta Corvel/RS1.lua") + "\n" +
                                VoduveKeymapDocument::keyLine("RS1", "Tool RS1", kShiftCommandR) + "\n");
    EXPECT_TRUE(names(backups).empty());

    struct stat before {};
    ASSERT_EQ(::stat(keymap.c_str(), &before), 0);
    EXPECT_EQ(registerTool(m, "RS1", kShiftCommandR), std::nullopt);
    struct stat after {};
    ASSERT_EQ(::stat(keymap.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_TRUE(names(backups).empty());
    EXPECT_EQ(names(keymap.parent_path()), std::set<std::string>{"voduve-kb.ini"});
}

TEST_F(KeymapFiles, EachChangeBacksUpTheOldBytesUnderANewName) {
    const std::string userFile = "// my keymap \r\nACT 0 0 \"x\" \"y\"\r\n";
    write(keymap, userFile);
    const auto m = manager();

    // Two registrations in the same millisecond: the second backup takes the next
    // millisecond's name, and the backup of the user's own file survives.
    EXPECT_EQ(registerTool(m, "RS1", kShiftCommandR), backups / kFirstBackup);
    const std::string afterFirst = read(keymap);
    EXPECT_EQ(registerTool(m, "RS2", kShiftCommandV), backups / kSecondBackup);
    EXPECT_EQ(names(backups), (std::set<std::string>{kFirstBackup, kSecondBackup}));
    EXPECT_EQ(read(backups / kFirstBackup), userFile);
    EXPECT_EQ(read(backups / kSecondBackup), afterFirst);

    const auto document = VoduveKeymapDocument::parse(read(keymap));
    EXPECT_EQ(document.lines.front(), "// my keymap ");
    EXPECT_EQ(document.newline, "\r\n");
    ASSERT_EQ(document.actions.size(), 2u);
    EXPECT_EQ(document.actions[0].commandID, "RS1");
    EXPECT_EQ(document.actions[1].commandID, "RS2");
    EXPECT_EQ(document.keys.size(), 2u);
    EXPECT_FALSE(tempFileLeft());
}

TEST_F(KeymapFiles, FailedVerificationRestoresTheOldBytes) {
    const std::string original = "ACT 0 0 \"x\" \"y\"\r\nKEY 1 65 _OTHER 0\r\n";
    struct Case {
        std::string spoiled;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"garbage\n", "VODUVE shortcut verification failed: Action registration is missing after write."},
        {VoduveKeymapDocument::scriptLine("RS1", "Tool RS1", "Orvanta Corvel/RS1.lua") + "\n",
         "VODUVE shortcut verification failed: Shortcut registration is missing after write."},
    };
    for (const auto& c : cases) {
        write(keymap, original);
        fs::remove_all(backups);
        int calls = 0;
        try {
            registerTool(manager(renameThenOverwrite(c.spoiled, &calls)), "RS1", kShiftCommandR);
            ADD_FAILURE() << "expected a verification failure";
        } catch (const VoduveKeymapError& error) {
            EXPECT_EQ(error.kind(), VoduveKeymapError::Kind::verificationFailed);
            EXPECT_EQ(error.error().message, c.message);
        }
        EXPECT_EQ(calls, 2);  // the restore renamed a copy of the backup into place
        EXPECT_EQ(read(keymap), original);
        EXPECT_EQ(read(backups / kFirstBackup), original);
        EXPECT_FALSE(tempFileLeft());
    }
}

TEST_F(KeymapFiles, AFailedRestoreStillLeavesAKeymap) {
    write(keymap, "ACT 0 0 \"x\" \"y\"\n");
    int calls = 0;
    auto spoilThenFail = [&calls, inner = renameThenOverwrite("spoiled\n", &calls)](const fs::path& from,
                                                                                    const fs::path& to) {
        return calls > 0 ? ENOSPC : inner(from, to);
    };
    try {
        registerTool(manager(spoilThenFail), "RS1", kShiftCommandR);
        FAIL() << "expected the restore's error";
    } catch (const ErrorException& error) {
        EXPECT_EQ(error.error().domain, kPosixErrorDomain);
        EXPECT_EQ(error.error().code, ENOSPC);
    }
    // Never missing: the spoiled keymap stays until the user restores the backup.
    EXPECT_EQ(read(keymap), "spoiled\n");
    EXPECT_EQ(read(backups / kFirstBackup), "ACT 0 0 \"x\" \"y\"\n");
    EXPECT_FALSE(tempFileLeft());
}

TEST_F(KeymapFiles, FailedVerificationWithoutOldBytesRemovesTheKeymap) {
    write(keymap, "");
    int calls = 0;
    EXPECT_THROW(registerTool(manager(renameThenOverwrite("garbage\n", &calls)), "RS1", std::nullopt),
                 VoduveKeymapError);
    EXPECT_FALSE(fs::exists(keymap));
    EXPECT_TRUE(names(backups).empty());
    EXPECT_FALSE(tempFileLeft());
}

TEST_F(KeymapFiles, FailedRenameLeavesTheKeymapUntouched) {
    const std::string original = "ACT 0 0 \"x\" \"y\"\n";
    write(keymap, original);
    try {
        registerTool(manager([](const fs::path&, const fs::path&) { return EACCES; }), "RS1", kShiftCommandR);
        FAIL() << "expected the rename failure";
    } catch (const ErrorException& error) {
        EXPECT_EQ(error.error(), (Error{kPosixErrorDomain, 13, "Atomic keymap replacement failed (errno 13)."}));
    }
    EXPECT_EQ(read(keymap), original);
    EXPECT_EQ(names(backups), std::set<std::string>{kFirstBackup});
    EXPECT_FALSE(tempFileLeft());
}

TEST_F(KeymapFiles, ConflictLeavesEverythingAsItWas) {
    const std::string original = "KEY 13 82 _OTHER 0\n";
    write(keymap, original);
    write(keymap.parent_path() / kKeymapTemporaryFileName, "stale");
    EXPECT_THROW(registerTool(manager(), "RS1", kShiftCommandR), VoduveKeymapError);
    EXPECT_EQ(read(keymap), original);
    EXPECT_TRUE(names(backups).empty());
    EXPECT_EQ(read(keymap.parent_path() / kKeymapTemporaryFileName), "stale");

    // Replacing it removes the other binding; a stale temp file is cleared on the way.
    EXPECT_TRUE(registerTool(manager(), "RS1", kShiftCommandR, true));
    EXPECT_TRUE(VoduveKeymapDocument::parse(read(keymap)).keys.size() == 1);
    EXPECT_FALSE(tempFileLeft());
}

TEST_F(KeymapFiles, KeymapThatIsNotUtf8IsRefused) {
    const std::string original = "SCR 4 0 X \"caf\xe9\" \"p\"\n";  // Latin-1
    write(keymap, original);
    const auto expectCode = [&](auto&& call, std::int64_t code) {
        try {
            call();
            ADD_FAILURE() << "expected code " << code;
        } catch (const ErrorException& error) {
            EXPECT_EQ(error.error(), (Error{"OrvantaCorvel", code, "voduve-kb.ini is not valid UTF-8."}));
        }
    };
    expectCode([&] { registerTool(manager(), "RS1", kShiftCommandR); }, 2102);
    expectCode([&] { manager().findShortcutConflicts(kShiftCommandR, keymap, std::nullopt); }, 2101);
    expectCode([&] { VoduveShortcutManager::verifyKeymapEntries("X", "p", std::nullopt, keymap); }, 2101);
    EXPECT_EQ(read(keymap), original);
    EXPECT_TRUE(names(backups).empty());
}

TEST_F(KeymapFiles, ConflictDescriptions) {
    write(keymap,
          "SCR 4 0 ACT1 \"Action One\" \"a.lua\"\n"
          "KEY 13 82 _ACT1 0 # Main : ⇧⌘R : Ignored\n"             // from the action line
          "KEY 13 82 _CMT 0\t\t # Main : ⇧⌘R : Commented : Tool\n"  // from its comment
          "KEY 13 82 40001 0\n"                                     // no name anywhere
          "KEY 13 82 _TWICE 0 # no separators\n"                    // only the first binding counts
          "KEY 1 65 TWICE 0 # Main : A : Later name\n"
          "KEY 13 82 SELF 0\n"
          "KEY 13 82 _ELSEWHERE 3\n");
    const auto conflicts = manager().findShortcutConflicts(kShiftCommandR, keymap, std::string("_SELF"));
    std::vector<std::pair<std::string, std::string>> got;
    std::set<Uuid> ids;
    for (const auto& c : conflicts) {
        got.emplace_back(c.commandID, c.description);
        ids.insert(c.id);
    }
    EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{
                       {"_ACT1", "Action One"},
                       {"_CMT", "Commented : Tool"},
                       {"40001", "VODUVE Command 40001"},
                       {"_TWICE", "VODUVE Command _TWICE"},
                   }));
    EXPECT_EQ(ids.size(), conflicts.size());
    EXPECT_THROW(manager().findShortcutConflicts(kShiftCommandR, root / "missing.ini", std::nullopt),
                 ErrorException);
}

TEST_F(KeymapFiles, SymlinkedKeymapIsUpdatedWhereItLives) {
    const fs::path real = root / "dotfiles" / "voduve-kb.ini";
    write(real, "ACT 0 0 \"x\" \"y\"\n");
    ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
    fs::create_directories(keymap.parent_path());
    fs::create_symlink("../dotfiles/voduve-kb.ini", keymap);

    EXPECT_TRUE(registerTool(manager(), "RS1", kShiftCommandR));
    ASSERT_TRUE(fs::is_symlink(keymap));
    EXPECT_EQ(fs::read_symlink(keymap), "../dotfiles/voduve-kb.ini");
    EXPECT_EQ(VoduveKeymapDocument::parse(read(real)).actions.size(), 1u);
    struct stat info {};
    ASSERT_EQ(::stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(read(backups / kFirstBackup), "ACT 0 0 \"x\" \"y\"\n");
    EXPECT_EQ(names(real.parent_path()), std::set<std::string>{"voduve-kb.ini"});
    EXPECT_EQ(names(keymap.parent_path()), std::set<std::string>{"voduve-kb.ini"});

    // A link whose file does not exist yet: the file is created at the link's target.
    const fs::path dangling = root / "elsewhere" / "new-kb.ini";
    fs::create_directories(dangling.parent_path());
    fs::remove(keymap);
    fs::create_symlink(dangling, keymap);
    EXPECT_EQ(registerTool(manager(), "RS1", std::nullopt), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(keymap));
    EXPECT_EQ(VoduveKeymapDocument::parse(read(dangling)).actions.size(), 1u);
}

TEST_F(KeymapFiles, DanglingLinkIntoAMissingFolderCreatesNoFolderThere) {
    // Absolute and relative links, the missing folder one or two levels deep.
    const std::string links[] = {(root / "elsewhere" / "deeper" / "kb.ini").string(), "../gone/kb.ini"};
    for (const std::string& link : links) {
        SCOPED_TRACE(link);
        fs::create_directories(keymap.parent_path());
        fs::remove(keymap);
        fs::create_symlink(link, keymap);

        EXPECT_THROW(registerTool(manager(), "RS1", kShiftCommandR), ErrorException);
        EXPECT_TRUE(fs::is_symlink(keymap));
        EXPECT_EQ(fs::read_symlink(keymap), link);
        EXPECT_EQ(names(root), std::set<std::string>{"VODUVE"});
        EXPECT_EQ(names(keymap.parent_path()), std::set<std::string>{"voduve-kb.ini"});
    }
}

TEST_F(KeymapFiles, KeepsThePermissionBitsOfAPlainKeymap) {
    write(keymap, "x\n");
    ASSERT_EQ(::chmod(keymap.c_str(), 0640), 0);
    EXPECT_TRUE(registerTool(manager(), "RS1", std::nullopt));
    struct stat info {};
    ASSERT_EQ(::stat(keymap.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(KeymapFiles, BackupIsNamedAfterTheLocalTime) {
    // 5 h 30 min east of UTC, without daylight saving.
    struct TimeZone {
        std::optional<std::string> saved;
        explicit TimeZone(const char* zone) {
            if (const char* tz = std::getenv("TZ")) saved = tz;
            ::setenv("TZ", zone, 1);
            ::tzset();
        }
        ~TimeZone() {
            if (saved) ::setenv("TZ", saved->c_str(), 1);
            else ::unsetenv("TZ");
            ::tzset();
        }
    } zone("XYZ-05:30");
    write(keymap, "x\n");
    const auto clock = [] { return std::chrono::system_clock::from_time_t(0) + std::chrono::milliseconds(89); };
    const VoduveShortcutManager m({clock, VoduveShortcutManager::posixRename});
    EXPECT_EQ(registerTool(m, "RS1", std::nullopt), backups / "voduve-kb.backup-19700101-053000-089.ini");
}

TEST_F(KeymapFiles, AnEditMadeDuringARegistrationIsKept) {
    const std::string userFile = "ACT 0 0 \"x\" \"y\"\n";
    const std::string userLine = "KEY 1 65 _MINE 0\n";
    write(keymap, userFile);
    int edits = 0;
    // Another program appends a line once, after the keymap was read and before it is replaced.
    const auto m = manager(VoduveShortcutManager::posixRename, [&] {
        if (edits++ == 0) std::ofstream(keymap, std::ios::binary | std::ios::app) << userLine;
    });

    EXPECT_EQ(registerTool(m, "RS1", kShiftCommandR), backups / kFirstBackup);

    EXPECT_EQ(edits, 2);  // the change was made again from the edited file
    const auto text = read(keymap);
    EXPECT_EQ(text.rfind(userFile + userLine, 0), 0u) << text;
    EXPECT_EQ(VoduveKeymapDocument::parse(text).keys.size(), 2u);  // the user's binding and the new one
    // The one backup holds what the registration replaced: the file with the edit.
    EXPECT_EQ(names(backups), std::set<std::string>{kFirstBackup});
    EXPECT_EQ(read(backups / kFirstBackup), userFile + userLine);
    EXPECT_FALSE(tempFileLeft());
}

TEST_F(KeymapFiles, AKeymapThatKeepsChangingIsLeftAsTheOtherProgramWroteIt) {
    write(keymap, "ACT 0 0 \"x\" \"y\"\n");
    int edits = 0;
    const auto m = manager(VoduveShortcutManager::posixRename, [&] {
        std::ofstream(keymap, std::ios::binary | std::ios::app) << "KEY 1 " << 65 + edits++ << " _MINE 0\n";
    });
    try {
        registerTool(m, "RS1", kShiftCommandR);
        FAIL() << "expected the registration to give up";
    } catch (const ErrorException& error) {
        EXPECT_EQ(error.error(),
                  (Error{"OrvantaCorvel", 2103,
                         "voduve-kb.ini was changed by another program during the update. It was left as that program "
                         "wrote it and nothing was changed. Close any program that edits voduve-kb.ini, then try again."}));
    }
    EXPECT_EQ(edits, 3);
    EXPECT_EQ(read(keymap), "ACT 0 0 \"x\" \"y\"\nKEY 1 65 _MINE 0\nKEY 1 66 _MINE 0\nKEY 1 67 _MINE 0\n");
    EXPECT_TRUE(names(backups).empty());
    EXPECT_FALSE(tempFileLeft());
}

TEST_F(KeymapFiles, AKeymapThatIsNoFileIsRefusedWithoutWaiting) {
    // A pipe nobody writes to would block a read for ever; /dev/zero never ends.
    fs::create_directories(keymap.parent_path());
    const std::pair<std::function<void()>, std::string> places[] = {
        {[&] { ASSERT_EQ(::mkfifo(keymap.c_str(), 0644), 0); }, "a named pipe"},
        {[&] { fs::create_symlink("/dev/zero", keymap); }, "a character device"},
    };
    for (const auto& [lay, kind] : places) {
        fs::remove(keymap);
        lay();
        const std::string expected = ": Not a regular file (" + kind + ")";
        for (const auto& call : std::vector<std::function<void()>>{
                 [&] { manager().findShortcutConflicts(kShiftCommandR, keymap, std::nullopt); },
                 [&] { registerTool(manager(), "RS1", kShiftCommandR); },
                 [&] { manager().planRegistrations({}, keymap); }}) {
            try {
                call();
                ADD_FAILURE() << "the " << kind << " was read";
            } catch (const ErrorException& error) {
                EXPECT_NE(error.error().message.find(expected), std::string::npos) << error.error().message;
            }
        }
        EXPECT_TRUE(names(backups).empty());
        EXPECT_EQ(names(keymap.parent_path()), std::set<std::string>{"voduve-kb.ini"});
    }
}

TEST_F(KeymapFiles, SeveralActionsAreOneChangeWithOneBackup) {
    const std::string userFile = "KEY 13 82 _MINE 0\t\t # Main : Ctrl+Shift+R : My tool\n";
    write(keymap, userFile);
    const std::vector<ActionRegistration> actions = {
        {"RS1", "Tool RS1", "Orvanta Corvel/RS1.lua", kShiftCommandR, true},
        {"RS2", "Tool RS2", "Orvanta Corvel/RS2.lua", kShiftCommandV, false},
    };
    const auto plan = manager().planRegistrations(actions, keymap);
    EXPECT_EQ(read(keymap), userFile);
    EXPECT_TRUE(names(backups).empty());

    const auto change = manager().registerActions(actions, keymap, backups);

    EXPECT_EQ(read(keymap), plan.newText);
    EXPECT_EQ(change.backup, backups / kFirstBackup);
    EXPECT_EQ(names(backups), std::set<std::string>{kFirstBackup});
    ASSERT_EQ(change.replaced.size(), 2u);
    ASSERT_EQ(change.replaced[0].size(), 1u);
    EXPECT_EQ(change.replaced[0][0].commandID, "_MINE");
    EXPECT_EQ(change.replaced[0][0].description, "My tool");
    EXPECT_TRUE(change.replaced[1].empty());
    const auto document = VoduveKeymapDocument::parse(read(keymap));
    EXPECT_EQ(document.actions.size(), 2u);
    EXPECT_EQ(document.keys.size(), 2u);

    // A shortcut that may not be replaced stops the whole change before anything is written.
    write(keymap, userFile);
    fs::remove_all(backups);
    EXPECT_THROW(manager().planRegistrations({actions[1], {"RS3", "Tool RS3", "x.lua", kShiftCommandR, false}}, keymap),
                 VoduveKeymapError);
    EXPECT_THROW(manager().registerActions({actions[1], {"RS3", "Tool RS3", "x.lua", kShiftCommandR, false}}, keymap,
                                           backups),
                 VoduveKeymapError);
    EXPECT_EQ(read(keymap), userFile);
    EXPECT_TRUE(names(backups).empty());
}

TEST(KeymapBackupName, PadsEveryField) {
    EXPECT_EQ(VoduveShortcutManager::backupFileName({2026, 12, 31, 23, 59, 59, 999}),
              "voduve-kb.backup-20261231-235959-999.ini");
    EXPECT_EQ(VoduveShortcutManager::backupFileName({987, 1, 2, 3, 4, 5, 6}),
              "voduve-kb.backup-09870102-030405-006.ini");
}

TEST(KeymapUtf8, RejectsMalformedSequences) {
    for (const std::string good : {"", "plain", "⇧⌘R", "\xF0\x9F\x8E\xB5", "\xEF\xBB\xBF" "bom"}) {
        EXPECT_TRUE(isValidUtf8(good)) << good;
    }
    for (const std::string bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x87",
                                  "\x80", "\xFF", "ok\xC3"}) {
        EXPECT_FALSE(isValidUtf8(bad));
    }
}

}  // namespace
}  // namespace corvel::voduvetools
