// bak's command line (CLI11) and the run: `bak COMMAND [options] SET
// [PATTERN...]`, options anywhere after the command, `--` ending them.
//
// CLI11 parses what comes before `--`; everything after it is taken here as
// positional words (CLI11 2.1 refuses positional words behind `--` once the
// pattern list has begun). CLI11 reports bad usage by exception: that stays
// in this file, and becomes a message and status 2.
#include <stdio.h>
#include <string.h>

#include <CLI/CLI.hpp>

#include "check/bak.h"
#include "platform/platform.h"

#ifndef BAK_VERSION
#define BAK_VERSION "?"
#endif

namespace {

// convert needs libarchive, which not every build has (the Windows one).
#ifdef BAK_CONVERT
#define CONVERT_USAGE \
    "  convert SET OUTPUT [PATTERN...] [--salvage] [--report FILE]\n" \
    "          [--report-in-archive] [-j N] [--progress] [--no-progress]\n" \
    "                                 the files into an archive: OUTPUT ends in\n" \
    "                                 .tar, .tar.gz, .tar.xz, .tar.zst, .zip or .7z;\n" \
    "                                 - is a tar on standard output\n"
#else
#define CONVERT_USAGE "  convert                        not available in this build (no libarchive)\n"
#endif

const char USAGE[] =
    "usage: bak COMMAND [options] SET [PATTERN...]\n"
    "  SET is any image of a backup set, or the directory holding it: the other\n"
    "  images of the set are found beside it by their headers.\n"
    "commands:\n"
    "  info SET [--json]              the backup, its files, its disks and their places\n"
    "  list SET [PATTERN...] [-l] [--json] [-0]\n"
    "                                 the files, one path per line\n"
    "  test SET [PATTERN...] [-q] [--json] [-j N]\n"
    "                                 read and check every file, write nothing\n"
    "  extract SET [PATTERN...] [-C DIR] [--overwrite] [--salvage] [--report FILE]\n"
    "          [-j N] [--progress] [--no-progress]\n"
    "                                 restore the files into DIR (default: here)\n"
    "  cat SET PATH [-j N]            one file's bytes to standard output\n"
#ifdef BAK_MOUNT
    "  mount SET MOUNTPOINT [-f] [--salvage] [--cache MIB]\n"
    "                                 the files as a read-only file system, until\n"
    "                                 unmounted (fusermount3), or Ctrl-C with -f\n"
#else
    "  mount                          not available in this build (no FUSE)\n"
#endif
    CONVERT_USAGE
    "  tables SET [--json | --csv DIR | --dbf DIR]\n"
    "                                 the seven catalog tables, as JSON, CSV or\n"
    "                                 table files\n"
    "options of every command:\n"
    "  --image FILE       an image of the set kept elsewhere (again for more)\n"
    "  --charset NAME     names are in this code page (CP437, CP850, CP1252...)\n"
    "  --exclude PATTERN  leave out what the pattern chooses (not for info, cat,\n"
    "                     tables)\n"
    "  -j N               test, extract, cat, convert: inflate on N threads (default:\n"
    "                     one per processor; -j 1 uses none)\n"
    "  -h, --help         a command's own help: bak COMMAND --help\n"
    "  --version          the version\n"
    "patterns: shell globs on the path as listed (C:\\Data\\*.txt; * ? [...] and **\n"
    "across directories), letter case ignored, / or \\ as separators; a directory\n"
    "chooses everything below it.\n"
    "exit status: 0 all well; 1 files not intact, a pattern that matched nothing, or\n"
    "the catalog inconsistent (info: disks missing or cut short); 2 no usable set,\n"
    "bad usage, or output that cannot be written\n";

struct Parsed {
    std::vector<std::string> words;  // SET and PATTERN..., or SET PATH for cat
};

// The options a command takes, bound to the run's options.
void add_common(CLI::App* cmd, BakOptions* opt, Parsed* p, bool patterns) {
    cmd->add_option("SET", p->words,
                    patterns ? "the set (an image, or the directory holding it), then patterns"
                             : "the set: an image, or the directory holding it")
        ->type_name("");
    cmd->add_option("--image", opt->images, "an image of the set kept elsewhere (repeatable)")
        ->type_name("FILE")
        ->allow_extra_args(false)
        ->type_size(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    cmd->add_option("--charset", opt->charset,
                    "decode names from this legacy code page (CP437, CP850, CP1252...)")
        ->type_name("NAME");
    if (patterns)
        cmd->add_option("--exclude", opt->excludes, "leave out the files the pattern chooses")
            ->type_name("PATTERN")
            ->allow_extra_args(false)
            ->type_size(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void add_jobs(CLI::App* cmd, BakOptions* opt) {
    cmd->add_option("-j", opt->jobs,
                    "inflate on N threads (default: one per processor; 1: no threads)")
        ->type_name("N")
        ->check(CLI::Range(1, 256));
}

void add_progress(CLI::App* cmd, BakOptions* opt) {
    cmd->add_flag_callback("--progress", [opt]() { opt->progress = 1; },
                           "show the progress line (default: when stderr is a terminal)");
    cmd->add_flag_callback("--no-progress", [opt]() { opt->progress = 0; },
                           "never show the progress line");
}

// Parses argv into opt; -1 when the run is to go on, else the status to
// end with (help and version: 0).
int parse(int argc, char** argv, BakOptions* opt, Parsed* p) {
    if (argc < 2) {
        fputs(USAGE, stderr);
        return BAK_EXIT_UNUSABLE;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(USAGE, stdout);
        return BAK_EXIT_OK;
    }
    static const char* const COMMANDS[] = {"info", "list", "test", "extract", "cat", "tables",
#ifdef BAK_CONVERT
                                           "convert",
#endif
                                           "mount"};
    bool known = argv[1][0] == '-';
    for (const char* c : COMMANDS) known = known || strcmp(argv[1], c) == 0;
    if (!known) {
        std::string names;
        for (const char* c : COMMANDS) names += std::string(names.empty() ? "" : ", ") + c;
        fprintf(stderr, "bak: %s: no such command (%s)\n", argv[1], names.c_str());
        return BAK_EXIT_UNUSABLE;
    }
    // Words behind the first "--" are positional, whatever they look like.
    int cut = argc;
    for (int i = 2; i < argc; i++)
        if (strcmp(argv[i], "--") == 0) {
            cut = i;
            break;
        }

    CLI::App app{"bak: list, test and restore the files of a backup set", "bak"};
    app.set_version_flag("--version", "bak " BAK_VERSION);
    app.require_subcommand(1, 1);
    CLI::App* info = app.add_subcommand("info", "the backup, its files, its disks and their places");
    add_common(info, opt, p, false);
    info->add_flag("--json", opt->json, "the result as one JSON object");

    CLI::App* list = app.add_subcommand("list", "the files, one path per line");
    add_common(list, opt, p, true);
    CLI::Option* json = list->add_flag("--json", opt->json, "one JSON object per file");
    CLI::Option* lng = list->add_flag("-l", opt->long_list,
                                      "read-only flag, size and recorded date, and a totals line");
    list->add_flag("-0", opt->nul, "paths ended by NUL bytes, unescaped (for xargs -0)")
        ->excludes(json)
        ->excludes(lng);

    CLI::App* test = app.add_subcommand("test", "read and check every file, writing nothing");
    add_common(test, opt, p, true);
    test->add_flag("-q", opt->quiet, "only the summary");
    test->add_flag("--json", opt->json, "the whole result as one JSON object");
    add_jobs(test, opt);
    add_progress(test, opt);

    CLI::App* extract = app.add_subcommand("extract", "restore the files into DIR");
    add_common(extract, opt, p, true);
    extract->add_option("-C", opt->dir, "restore into DIR (made when missing; default: here)")
        ->type_name("DIR");
    extract->add_flag("--overwrite", opt->overwrite, "replace existing files, read-only ones too");
    extract->add_flag("--salvage", opt->salvage,
                      "write damaged files too, lost ranges as zeros");
    extract->add_option("--report", opt->report,
                        "write what was lost to FILE (JSON when it ends in .json)")
        ->type_name("FILE");
    add_jobs(extract, opt);
    add_progress(extract, opt);

    CLI::App* cat = app.add_subcommand("cat", "one file's bytes to standard output, checked");
    add_common(cat, opt, p, false);
    add_jobs(cat, opt);

#ifdef BAK_CONVERT
    CLI::App* convert = app.add_subcommand("convert", "write the files into an archive");
    add_common(convert, opt, p, true);
    convert->add_flag("--salvage", opt->salvage, "write damaged files too, lost ranges as zeros");
    convert->add_option("--report", opt->report,
                        "write what was lost to FILE (JSON when it ends in .json)")
        ->type_name("FILE");
    convert->add_flag("--report-in-archive", opt->report_in_archive,
                      "and to LOST-DATA.txt at the archive's root");
    add_jobs(convert, opt);
    add_progress(convert, opt);
#endif

    CLI::App* tables = app.add_subcommand("tables", "the seven catalog tables");
    add_common(tables, opt, p, false);
    CLI::Option* tj = tables->add_flag("--json", opt->json, "one JSON object per table");
    CLI::Option* tc = tables->add_option("--csv", opt->csv_dir, "one CSV file per table in DIR")
                          ->type_name("DIR")
                          ->excludes(tj);
    tables->add_option("--dbf", opt->dbf_dir, "each table as a table file in DIR, named for dbfscan")
        ->type_name("DIR")
        ->excludes(tj)
        ->excludes(tc);

#ifdef BAK_MOUNT
    CLI::App* mount = app.add_subcommand("mount", "the files as a read-only file system");
    add_common(mount, opt, p, false);
    mount->add_flag("-f", opt->foreground,
                    "stay in the foreground, damage said on stderr (else: the system log)");
    mount->add_flag("--salvage", opt->salvage, "read damaged and missing ranges as zeros");
    mount->add_option("--cache", opt->cache_mib, "inflated data kept in memory (default 64)")
        ->type_name("MIB")
        ->check(CLI::Range((int64_t)0, (int64_t)1 << 20));
#else
    if (strcmp(argv[1], "mount") == 0) {
        fputs("bak: mount is not available in this build (no FUSE)\n", stderr);
        return BAK_EXIT_UNUSABLE;
    }
#endif

    try {
        app.parse(cut, argv);
    } catch (const CLI::CallForHelp& e) {
        // The help of the command that asked, on standard output.
        app.exit(e);
        return BAK_EXIT_OK;
    } catch (const CLI::CallForVersion&) {
        printf("bak %s\n", BAK_VERSION);
        return BAK_EXIT_OK;
    } catch (const CLI::ParseError& e) {
        fprintf(stderr, "bak: %s\n", e.what());
        fprintf(stderr, "bak: see bak --help%s\n",
                app.get_subcommands().empty() ? "" : " or bak COMMAND --help");
        return BAK_EXIT_UNUSABLE;
    }
    opt->command = app.get_subcommands()[0]->get_name();
    for (int i = cut + 1; i < argc; i++) p->words.push_back(argv[i]);
    bool is_cat = opt->command == "cat", is_mount = opt->command == "mount";
    bool is_convert = opt->command == "convert";
    bool alone = opt->command == "info" || opt->command == "tables";
    size_t most = is_cat || is_mount ? 2 : alone ? 1 : SIZE_MAX;
    if (p->words.empty() || ((is_cat || is_mount) && p->words.size() != 2) ||
        p->words.size() > most || (is_convert && p->words.size() < 2)) {
        fprintf(stderr, "bak: %s\n",
                p->words.empty() ? "which set? name an image of it, or its directory"
                : is_cat          ? "cat takes the set and one path"
                : is_mount        ? "mount takes the set and the mount point"
                : is_convert      ? "convert takes the set, the archive to write, then patterns"
                                  : (opt->command + " takes the set alone").c_str());
        return BAK_EXIT_UNUSABLE;
    }
    opt->set = p->words[0];
    size_t first_pattern = 1;
#ifdef BAK_CONVERT
    if (is_convert) {
        opt->output = p->words[1];
        first_pattern = 2;
        if (!convert_output_known(opt->output)) {
            fprintf(stderr, "bak: %s: unknown kind of archive: OUTPUT ends in .tar, .tar.gz, "
                            ".tar.xz, .tar.zst, .zip or .7z, or is - for a tar on standard "
                            "output\n",
                    opt->output.c_str());
            return BAK_EXIT_UNUSABLE;
        }
    }
#endif
    if (is_mount)
        opt->mountpoint = p->words[1];
    else if (!is_cat)
        opt->patterns.assign(p->words.begin() + (long)first_pattern, p->words.end());
    return -1;
}

}  // namespace

int bak_main(int argc, char** argv) {
    Bak bak{};
    Parsed parsed;
    clearerr(stdout);
    int status = parse(argc, argv, &bak.opt, &parsed);
    if (status >= 0) {
        fflush(stdout);
        return status;
    }
    for (const std::string& p : bak.opt.patterns) add_include(&bak.patterns, p);
    for (const std::string& p : bak.opt.excludes) add_exclude(&bak.patterns, p);
    status = open_set(&bak);
    if (status == 0) {
        const std::string& c = bak.opt.command;
        status = c == "info"      ? cmd_info(&bak)
                 : c == "list"    ? cmd_list(&bak)
                 : c == "test"    ? cmd_test(&bak)
                 : c == "extract" ? cmd_extract(&bak)
                 : c == "tables"  ? cmd_tables(&bak)
#ifdef BAK_CONVERT
                 : c == "convert" ? cmd_convert(&bak)
#endif
#ifdef BAK_MOUNT
                 : c == "mount"   ? cmd_mount(&bak)
#endif
                                  : cmd_cat(&bak, parsed.words[1]);
    }
    close_set(&bak);
    release_scratch(&bak.scratch);
    // The OS layer forgets the run's inputs: the next in-process run has
    // its own.
    plat_close_all();
    // Output that never arrived is a failure the output cannot tell.
    if (fflush(stdout) != 0 || ferror(stdout)) bak.stdout_failed = true;
    if (bak.stdout_failed) {
        fputs("bak: error writing standard output\n", stderr);
        status = BAK_EXIT_UNUSABLE;
    }
    return status;
}
