// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The kelvane program as a user meets it: options, operands, what goes to
// standard output and what to standard error, and the exit status.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"

namespace {

const std::string banner = "kelvane " KELVANE_VERSION
                           " - describes a folder as an OBEX folder-listing document\n";

const std::string help_text = banner + "\nUsage: kelvane [<options>]\n"
                                       "\nOptions:\n"
                                       " -P  show parent folder indicator\n"
                                       " -H  also list hidden files/directories\n"
                                       " -t  show time attributes\n"
                                       " -p  show permission attributes\n"
                                       " -o  show file owner attribute\n"
                                       " -g  show file group attribute\n"
                                       " -h  this help message\n";

// The document for a path that could not be listed, under LC_ALL=C.
const std::string entry_less_document =
    "<?xml version=\"1.0\" encoding=\"ANSI_X3.4-1968\"?>\n"
    "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\n"
    "<folder-listing version=\"1.0\">\n"
    "</folder-listing>\n";

const std::string parent_line = "  <parent-folder />";

// A folder with a plain file, a subfolder and a hidden file, the program
// run in it unless a test says otherwise.
struct main_test : ::testing::Test {
    temp_folder folder;

    void SetUp() override {
        make_file(folder / "alpha", 0644, "hello");
        make_folder(folder / "sub");
        make_file(folder / ".secret", 0600, "x");
    }

    run_result run(const std::vector<std::string> &args) {
        run_options options;
        options.cwd = folder.path;
        return run_program(args, options);
    }
};

// Neither stream carries what belongs on the other.
void expect_streams_apart(const run_result &result) {
    EXPECT_EQ(result.out.find("kelvane " KELVANE_VERSION), std::string::npos)
        << result.out;
    EXPECT_EQ(result.err.find("<?xml"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("folder-listing version"), std::string::npos) << result.err;
}

std::size_t count_of(const std::vector<std::string> &lines, const std::string &wanted) {
    std::size_t count = 0;
    for (const std::string &line : lines)
        count += line == wanted;
    return count;
}

// --- A plain run ----------------------------------------------------------

TEST_F(main_test, no_arguments_lists_the_working_folder) {
    const run_result result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, banner);
    expect_streams_apart(result);

    EXPECT_TRUE(well_formed(result.out)) << result.out;
    const std::vector<std::string> lines = lines_of(result.out);
    ASSERT_GE(lines.size(), 4u) << result.out;
    EXPECT_TRUE(lines.front().starts_with("<?xml version=\"1.0\"")) << lines.front();
    EXPECT_EQ(lines.back(), "</folder-listing>");

    const std::string alpha = line_for(result.out, "alpha");
    ASSERT_FALSE(alpha.empty()) << result.out;
    EXPECT_TRUE(alpha.starts_with("  <file ")) << alpha;
    EXPECT_EQ(attribute(alpha, "size"), "5");
    const std::string sub = line_for(result.out, "sub");
    ASSERT_FALSE(sub.empty()) << result.out;
    EXPECT_TRUE(sub.starts_with("  <folder ")) << sub;
    // Only the two visible entries; no optional attribute or parent line.
    EXPECT_EQ(entry_lines(result.out).size(), 2u) << result.out;
    EXPECT_EQ(line_for(result.out, ".secret"), "");
    EXPECT_EQ(count_of(lines, parent_line), 0u);
    EXPECT_EQ(attribute(alpha, "modified"), "<absent>");
    EXPECT_EQ(attribute(alpha, "user-perm"), "<absent>");
    EXPECT_EQ(attribute(alpha, "owner"), "<absent>");
}

TEST_F(main_test, no_operand_is_the_same_as_dot) {
    const run_result bare = run({});
    const run_result dot = run({"."});
    EXPECT_EQ(bare.status, 0);
    EXPECT_EQ(dot.status, 0);
    EXPECT_EQ(bare.out, dot.out);
    EXPECT_EQ(dot.err, banner);
}

TEST_F(main_test, only_the_first_operand_is_listed) {
    make_folder(folder / "first");
    make_file(folder / "first/in_first");
    make_folder(folder / "second");
    make_file(folder / "second/in_second");

    const run_result result = run({"first", "second"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, banner);
    EXPECT_FALSE(line_for(result.out, "in_first").empty()) << result.out;
    EXPECT_EQ(line_for(result.out, "in_second"), "") << result.out;
    EXPECT_EQ(entry_lines(result.out).size(), 1u) << result.out;
}

// --- Help -----------------------------------------------------------------

TEST_F(main_test, help_goes_to_standard_error_alone_and_ends_the_run) {
    // After -h, an unknown letter, a refused path and a missing one would
    // each change the output if they were read.
    const std::vector<std::vector<std::string>> calls = {
        {"-h"},  {"-t", "-h"},   {"-th"},           {"-Ppog", "-h"},   {"-h", "-x"},
        {"-hx"}, {"-h", "../x"}, {"-h", "missing"}, {"-h", "-t", "-p"}};
    for (const std::vector<std::string> &args : calls) {
        const run_result result = run(args);
        SCOPED_TRACE(args.back());
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, help_text);
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(main_test, long_help_and_version_go_to_standard_output_and_end_the_run) {
    struct call {
        std::vector<std::string> args;
        std::string out;
    };
    const std::string version = "kelvane " KELVANE_VERSION "\n";
    const std::vector<call> calls = {
        {{"--help"}, help_text},
        {{"-t", "--help", "-x"}, help_text},
        {{"--help", "../x"}, help_text},
        {{"--version"}, version},
        {{"-p", "--version", "-x"}, version},
        {{"--version", "missing"}, version},
    };
    for (const call &c : calls) {
        const run_result result = run(c.args);
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

// --- Options --------------------------------------------------------------

TEST_F(main_test, an_unknown_option_is_reported_and_the_listing_goes_on) {
    const run_result plain = run({});
    for (const auto &[option, text] :
         {std::pair{"-x", "invalid option -- 'x'"},
          std::pair{"--frobnicate", "unrecognized option '--frobnicate'"}}) {
        SCOPED_TRACE(option);
        const run_result result = run({option});
        EXPECT_EQ(result.status, 0);
        const std::size_t complaint = result.err.find(text);
        ASSERT_NE(complaint, std::string::npos) << result.err;
        const std::size_t banner_at = result.err.find(banner);
        ASSERT_NE(banner_at, std::string::npos) << result.err;
        EXPECT_LT(complaint, banner_at);
        EXPECT_TRUE(result.err.ends_with(banner)) << result.err;
        EXPECT_EQ(result.out, plain.out);
        expect_streams_apart(result);
    }
}

TEST_F(main_test, double_dash_ends_the_options) {
    make_folder(folder / "-x");
    make_file(folder / "-x/inside");
    const run_result result = run({"-p", "--", "-x", "-t"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, banner);
    const std::string inside = line_for(result.out, "inside");
    EXPECT_NE(attribute(inside, "user-perm"), "<absent>") << result.out;
    EXPECT_EQ(attribute(inside, "modified"), "<absent>") << result.out;

    // A long option after it is a path too.
    const run_result help = run({"--", "--help"});
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.err, banner + "Not a directory\n");
    EXPECT_EQ(help.out, entry_less_document);
}

TEST_F(main_test, grouped_separate_and_repeated_options_agree) {
    const run_result grouped = run({"-tp"});
    const run_result separate = run({"-t", "-p"});
    const run_result repeated = run({"-pt", "-t"});
    for (const run_result *result : {&grouped, &separate, &repeated}) {
        EXPECT_EQ(result->status, 0);
        EXPECT_EQ(result->err, banner);
    }
    EXPECT_EQ(grouped.out, separate.out);
    EXPECT_EQ(grouped.out, repeated.out);

    const std::string alpha = line_for(grouped.out, "alpha");
    ASSERT_FALSE(alpha.empty()) << grouped.out;
    for (const char *name : {"created", "modified", "accessed"}) {
        const std::string stamp = attribute(alpha, name);
        EXPECT_EQ(stamp.size(), 16u) << name << ": " << alpha;
        EXPECT_TRUE(stamp.ends_with('Z')) << name << ": " << alpha;
    }
    for (const char *name : {"user-perm", "group-perm", "other-perm"})
        EXPECT_NE(attribute(alpha, name), "<absent>") << name << ": " << alpha;
    EXPECT_EQ(attribute(alpha, "owner"), "<absent>");
    EXPECT_EQ(attribute(alpha, "group"), "<absent>");
}

TEST_F(main_test, parent_option_writes_the_parent_line_first) {
    const run_result result = run({"-P"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, banner);
    const std::vector<std::string> lines = lines_of(result.out);
    ASSERT_GE(lines.size(), 4u) << result.out;
    EXPECT_EQ(lines[2], "<folder-listing version=\"1.0\">");
    EXPECT_EQ(lines[3], parent_line);
    EXPECT_EQ(count_of(lines, parent_line), 1u) << result.out;
    EXPECT_EQ(entry_lines(result.out).size(), 2u) << result.out;
    EXPECT_TRUE(well_formed(result.out)) << result.out;
}

TEST_F(main_test, hidden_option_shows_dot_entries) {
    EXPECT_EQ(line_for(run({}).out, ".secret"), "");
    const run_result result = run({"-H"});
    EXPECT_EQ(result.status, 0);
    const std::string secret = line_for(result.out, ".secret");
    ASSERT_FALSE(secret.empty()) << result.out;
    EXPECT_EQ(attribute(secret, "size"), "1");
    EXPECT_EQ(entry_lines(result.out).size(), 3u) << result.out;
}

TEST_F(main_test, owner_and_group_options_write_the_ids) {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (running_as_root()) {
        // Ids unlike the runner's, so that a written id of the wrong kind or
        // from the wrong process shows.
        ASSERT_EQ(chown((folder / "alpha").c_str(), other_uid, other_gid), 0);
        uid = other_uid;
        gid = other_gid;
    }
    const std::string owner_only = line_for(run({"-o"}).out, "alpha");
    EXPECT_EQ(attribute(owner_only, "owner"), std::to_string(uid)) << owner_only;
    EXPECT_EQ(attribute(owner_only, "group"), "<absent>") << owner_only;

    const std::string group_only = line_for(run({"-g"}).out, "alpha");
    EXPECT_EQ(attribute(group_only, "group"), std::to_string(gid)) << group_only;
    EXPECT_EQ(attribute(group_only, "owner"), "<absent>") << group_only;

    const std::string both = line_for(run({"-og"}).out, "alpha");
    EXPECT_EQ(attribute(both, "owner"), std::to_string(uid)) << both;
    EXPECT_EQ(attribute(both, "group"), std::to_string(gid)) << both;
}

// --- Paths that are not listed --------------------------------------------

TEST_F(main_test, paths_climbing_out_are_refused) {
    make_folder(folder / "a");
    make_folder(folder / "b");
    for (const char *path : {"../x", "..", "a/../b", "a/.."}) {
        SCOPED_TRACE(path);
        const run_result result = run({path});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, banner + "Invalid argument\n");
        EXPECT_EQ(result.out, "");
    }
}

// --beneath=DIR lists the operand as seen inside DIR, wherever the option
// stands, and refuses what leads outside it.
TEST_F(main_test, beneath_lists_inside_the_folder_and_refuses_what_leads_out) {
    REQUIRE_OPENAT2();
    make_folder(folder / "served");
    make_file(folder / "served/inside", 0644, "in");
    make_folder(folder / "served/room");
    make_file(folder / "served/room/seat");
    ASSERT_EQ(symlink(folder.path.c_str(), (folder / "served/out").c_str()), 0);
    const struct {
        std::vector<std::string> args;
        std::string entries; // their names, or the error line
    } rows[] = {
        {{"--beneath=served"}, "inside room"},
        {{"--beneath=served", "."}, "inside room"},
        {{"--beneath=served", "room"}, "seat"},
        {{"--beneath", "served", "room"}, "seat"},
        {{"-p", "--beneath=served", "room"}, "seat"},
        {{"--beneath=served", "-p", "room/"}, "seat"},
        {{"--beneath=served", "inside"}, "inside"},
        {{"--beneath=served", "out"}, "Operation not permitted"},
        {{"--beneath=served", "out/alpha"}, "Operation not permitted"},
        {{"--beneath=served", folder.path}, "Operation not permitted"},
        {{"--beneath=served", "../alpha"}, "Invalid argument"},
        {{"--beneath=missing"}, "missing: No such file or directory"},
        {{"--beneath=alpha"}, "alpha: Not a directory"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.back());
        const run_result result = run(row.args);
        if (result.status != 0) {
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, banner + row.entries + "\n");
            EXPECT_EQ(result.out, "");
            continue;
        }
        EXPECT_EQ(result.err, banner);
        EXPECT_TRUE(well_formed(result.out)) << result.out;
        std::vector<std::string> names;
        for (const std::string &line : entry_lines(result.out))
            names.push_back(attribute(line, "name"));
        std::sort(names.begin(), names.end());
        std::string joined;
        for (const std::string &name : names)
            joined += (joined.empty() ? "" : " ") + name;
        EXPECT_EQ(joined, row.entries);
    }
}

TEST_F(main_test, a_missing_path_gives_the_entry_less_document) {
    const run_result result = run({"missing"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, banner + "Not a directory\n");
    EXPECT_EQ(result.out, entry_less_document);
    EXPECT_TRUE(well_formed(result.out));
}

TEST_F(main_test, a_folder_that_cannot_be_opened_is_denied) {
    const std::string closed = folder / "closed";
    make_folder(closed, running_as_root() ? 0700 : 0);
    if (running_as_root())
        make_file(closed + "/inside");
    run_options options;
    options.cwd = folder.path;
    options.unprivileged = true;

    const run_result result = run_program({closed}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, banner + "Permission denied\n");
    EXPECT_EQ(result.out, entry_less_document);
    expect_streams_apart(result);
}

// --- Standard output ------------------------------------------------------

TEST_F(main_test, an_unwritable_standard_output_fails_the_run) {
    run_options options;
    options.cwd = folder.path;
    options.stdout_path = "/dev/full";
    for (const auto &[args, err] :
         {std::pair{std::vector<std::string>{}, banner + "No space left on device\n"},
          std::pair{std::vector<std::string>{"--help"},
                    std::string("No space left on device\n")},
          std::pair{std::vector<std::string>{"--version"},
                    std::string("No space left on device\n")}}) {
        const run_result result = run_program(args, options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, err);
    }
}

TEST_F(main_test, a_long_listing_to_a_full_device_reports_the_device_error) {
    // Many times the size of a stdio buffer, so that writes fail while the
    // listing is still going, not only at the final flush.
    for (int i = 0; i < 400; ++i)
        make_file(folder / ("a_rather_long_file_name_number_" + std::to_string(i)));
    run_options options;
    options.cwd = folder.path;
    options.stdout_path = "/dev/full";
    const run_result result = run_program({"-tpog"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, banner + "No space left on device\n");
}

// --- Locale ---------------------------------------------------------------

TEST_F(main_test, the_declaration_names_the_locale_codeset) {
    run_options options;
    options.cwd = folder.path;

    options.env = {"LC_ALL=C"};
    const run_result plain = run_program({}, options);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(lines_of(plain.out).at(0),
              "<?xml version=\"1.0\" encoding=\"ANSI_X3.4-1968\"?>");

    options.env = {"LC_ALL=C.UTF-8"};
    const run_result utf8 = run_program({}, options);
    EXPECT_EQ(utf8.status, 0);
    EXPECT_EQ(utf8.err, banner);
    EXPECT_EQ(lines_of(utf8.out).at(0), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    EXPECT_TRUE(well_formed(utf8.out)) << utf8.out;
    // Only the declaration depends on the locale.
    EXPECT_EQ(entry_lines(utf8.out), entry_lines(plain.out));
}

#ifdef NATIVE_KELVANE_PROGRAM
// Built for another architecture (a cross build, run under an emulator),
// the program writes the build machine's documents and texts byte for
// byte: names that need escaping under each kind of locale, a date and a
// size past 32 bits, confined listings and refused paths.
TEST_F(main_test, the_target_writes_what_the_build_machine_writes) {
    for (const char *name : {"caf\xc3\xa9 & <x>.txt", "say \"hi\"", "tab\there",
                             "latin1-\xe9", "bell\x07", "\xe6\x97\xa5\xe6\x9c\xac"})
        make_file(folder / name);
    const std::string far = folder / "far";
    make_file(far);
    ASSERT_EQ(truncate(far.c_str(), std::int64_t{5} << 30), 0);
    const struct timespec times[2] = {{2208988800, 0}, {2208988800, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, far.c_str(), times, 0), 0);

    run_options target, native;
    target.cwd = native.cwd = folder.path;
    native.program = NATIVE_KELVANE_PROGRAM;
    for (const char *locale : {"C", "C.UTF-8", latin1_locale, eucjp_locale}) {
        if (!locale_available(locale))
            continue;
        target.env = {std::string("LC_ALL=") + locale};
        // The target's locales may be its own (LOCPATH); the build
        // machine's are the system's.
        native.env = {std::string("LC_ALL=") + locale, "LOCPATH="};
        for (const std::vector<std::string> &args :
             std::vector<std::vector<std::string>>{{},
                                                   {"-PHtpog"},
                                                   {"-tp", "--beneath=.", "."},
                                                   {"-p", "--beneath=.", "/"},
                                                   {"../x"},
                                                   {"missing"}}) {
            const run_result ours = run_program(args, target);
            const run_result theirs = run_program(args, native);
            SCOPED_TRACE(std::string(locale) + " " + testing::PrintToString(args));
            EXPECT_EQ(ours.status, theirs.status);
            EXPECT_TRUE(ours.out == theirs.out) << ours.out << "\n--- build machine:\n"
                                                << theirs.out;
            EXPECT_EQ(ours.err, theirs.err);
        }
    }
}
#endif

} // namespace
