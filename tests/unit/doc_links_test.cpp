// The links of the README and of the pages in docs/, read from the source
// tree: every relative target names a file or folder of the tree, and every
// #anchor a heading of its page, made into an anchor as GitHub makes one.
// Links to the web are not followed (there is no network): only targets
// without a scheme are checked. A reader who follows a link lands where it
// says, and a page moved or a heading renamed fails here, not for him.
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "station_kit/root.h"

namespace fs = std::filesystem;

namespace {

struct md_link {
    int line;
    std::string target;
};

// What the checks need of one Markdown file: the anchors its headings make,
// its inline links and images, its references ([text][label]) and the
// definitions ([label]: target) they name.
struct md_page {
    std::vector<std::string> anchors;
    std::vector<md_link> links;
    std::vector<md_link> references;
    std::map<std::string, md_link> definitions;
};

std::string lowercase(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// GitHub's rule: lowercase; a blank becomes '-'; letters, digits, '-' and
// '_' stay; the rest goes. Bytes beyond ASCII stay as they are (GitHub
// would lowercase a capital among them too; the pages' headings have none).
std::string github_anchor(const std::string& heading)
{
    std::string anchor;
    for (const unsigned char c : heading) {
        if (c >= 0x80 || std::isalnum(c) || c == '-' || c == '_')
            anchor += static_cast<char>(std::tolower(c));
        else if (c == ' ')
            anchor += '-';
    }
    return anchor;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

std::string::size_type indent_of(const std::string& line)
{
    return std::min(line.find_first_not_of(' '), line.size());
}

bool blank(const std::string& line)
{
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

std::string trimmed(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// An ATX heading's text ("## Text ##" gives "Text"), or false.
bool heading_text(const std::string& line, std::string& text)
{
    const auto indent = indent_of(line);
    const auto after = std::min(line.find_first_not_of('#', indent), line.size());
    const auto hashes = after - indent;
    if (indent > 3 || hashes == 0 || hashes > 6 || (after < line.size() && line[after] != ' ' && line[after] != '\t'))
        return false;
    text = trimmed(line.substr(after));
    // A closing run of '#' after a blank is no part of the text.
    const auto closing = text.find_last_not_of('#');
    if (closing == std::string::npos)
        text.clear();
    else if (closing + 1 < text.size() && (text[closing] == ' ' || text[closing] == '\t'))
        text = trimmed(text.substr(0, closing));
    return true;
}

// A reference definition "[label]: target" at the start of a line.
bool definition(const std::string& line, std::string& label, std::string& target)
{
    const auto indent = indent_of(line);
    if (indent > 3 || indent == line.size() || line[indent] != '[')
        return false;
    const auto close = line.find("]:", indent);
    if (close == std::string::npos || close == indent + 1)
        return false;
    label = lowercase(line.substr(indent + 1, close - indent - 1));
    const auto start = line.find_first_not_of(" \t", close + 2);
    if (start == std::string::npos)
        return false;
    const auto end = line.find_first_of(" \t", start);
    target = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (target.size() > 1 && target.front() == '<' && target.back() == '>')
        target = target.substr(1, target.size() - 2);
    return true;
}

// Blanks the inside of every code span (`x`, ``x``), keeping line ends, so
// that what a span shows as text is never taken for a link. A run of
// backticks with no run of the same length after it in its paragraph is
// text itself.
void blank_code_spans(std::string& prose)
{
    std::string::size_type pos = 0;
    while ((pos = prose.find('`', pos)) != std::string::npos) {
        const auto run_end = std::min(prose.find_first_not_of('`', pos), prose.size());
        const auto run = run_end - pos;
        const auto paragraph_end = std::min(prose.find("\n\n", pos), prose.size());
        auto close = prose.find('`', run_end);
        while (close < paragraph_end) {
            const auto close_end = std::min(prose.find_first_not_of('`', close), prose.size());
            if (close_end - close == run)
                break;
            close = prose.find('`', close_end);
        }
        if (close >= paragraph_end) {
            pos = run_end;
            continue;
        }
        for (auto i = pos; i < close + run; ++i)
            if (prose[i] != '\n')
                prose[i] = ' ';
        pos = close + run;
    }
}

// Where the '[' that opens the text ending at ']' (at close) stands, within
// its paragraph; npos when there is none, and the brackets are text.
std::string::size_type link_text_start(const std::string& prose, std::string::size_type close)
{
    int depth = 0;
    for (auto i = close; i-- > 0;) {
        if (prose[i] == '\n' && i > 0 && prose[i - 1] == '\n')
            return std::string::npos;
        if (prose[i] == ']')
            ++depth;
        else if (prose[i] == '[' && depth-- == 0)
            return i;
    }
    return std::string::npos;
}

int line_at(const std::string& prose, std::string::size_type pos)
{
    return 1 + static_cast<int>(std::count(prose.begin(), prose.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
}

md_page read_page(const std::string& text)
{
    md_page page;
    std::map<std::string, int> seen;
    std::string prose;
    std::string fence;
    const std::vector<std::string> lines = lines_of(text);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        const auto indent = indent_of(line);
        const std::string rest = line.substr(indent);
        const bool fence_line = indent <= 3 && (rest.rfind("```", 0) == 0 || rest.rfind("~~~", 0) == 0);
        if (!fence.empty()) {
            // A fence closes with a run of its own character, at least as long.
            const auto run = std::min(rest.find_first_not_of(fence[0]), rest.size());
            if (indent <= 3 && run >= fence.size() && blank(rest.substr(run)))
                fence.clear();
            prose += "\n";
            continue;
        }
        if (fence_line) {
            fence = rest.substr(0, std::min(rest.find_first_not_of(rest[0]), rest.size()));
            prose += "\n";
            continue;
        }
        std::string heading, label, target;
        if (heading_text(line, heading)) {
            const std::string anchor = github_anchor(heading);
            const int before = seen[anchor]++;
            page.anchors.push_back(before == 0 ? anchor : anchor + "-" + std::to_string(before));
        } else if (definition(line, label, target)) {
            page.definitions.emplace(label, md_link{static_cast<int>(n + 1), target});
            prose += "\n";
            continue;
        }
        prose += blank(line) ? "\n" : line + "\n";
    }
    blank_code_spans(prose);

    for (auto close = prose.find(']'); close != std::string::npos; close = prose.find(']', close + 1)) {
        const auto open = link_text_start(prose, close);
        if (open == std::string::npos || close + 1 >= prose.size())
            continue;
        if (prose[close + 1] == '(') {
            const auto start = prose.find_first_not_of(" \t\n", close + 2);
            if (start == std::string::npos)
                continue;
            std::string target;
            if (prose[start] == '<') {
                const auto end = prose.find('>', start);
                if (end == std::string::npos)
                    continue;
                target = prose.substr(start + 1, end - start - 1);
            } else {
                int depth = 0;
                auto end = start;
                for (; end < prose.size() && !std::isspace(static_cast<unsigned char>(prose[end])); ++end) {
                    if (prose[end] == '(')
                        ++depth;
                    else if (prose[end] == ')' && depth-- == 0)
                        break;
                }
                target = prose.substr(start, end - start);
            }
            page.links.push_back({line_at(prose, close), target});
        } else if (prose[close + 1] == '[') {
            const auto end = prose.find(']', close + 2);
            if (end == std::string::npos)
                continue;
            std::string label = prose.substr(close + 2, end - close - 2);
            if (label.empty())
                label = prose.substr(open + 1, close - open - 1);
            std::replace(label.begin(), label.end(), '\n', ' ');
            page.references.push_back({line_at(prose, close), lowercase(label)});
            close = end;
        }
    }
    return page;
}

std::string percent_decoded(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// "https:", "mailto:" and the like: a scheme before any '/', '#' or '?'.
bool has_scheme(const std::string& target)
{
    const auto colon = target.find(':');
    if (colon == std::string::npos || colon == 0 || target.find_first_of("/#?") < colon)
        return false;
    return std::isalpha(static_cast<unsigned char>(target[0])) &&
           std::all_of(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(colon), [](unsigned char c) {
               return std::isalnum(c) || c == '+' || c == '.' || c == '-';
           });
}

// GitHub's anchors of a line or lines of a file that is not Markdown: #L12, #L12-L20.
bool line_anchor(const std::string& anchor)
{
    const auto number = [&](std::size_t& i) {
        if (i >= anchor.size() || anchor[i] != 'L' || i + 1 >= anchor.size() ||
            !std::isdigit(static_cast<unsigned char>(anchor[i + 1])))
            return false;
        for (++i; i < anchor.size() && std::isdigit(static_cast<unsigned char>(anchor[i])); ++i) {
        }
        return true;
    };
    std::size_t i = 0;
    if (!number(i))
        return false;
    if (i == anchor.size())
        return true;
    if (anchor[i] != '-')
        return false;
    ++i;
    return number(i) && i == anchor.size();
}

bool is_markdown(const fs::path& path)
{
    return path.extension() == ".md";
}

// The pages checked: README.md and every Markdown file under docs/,
// relative to the tree's root.
std::vector<std::string> doc_pages(const fs::path& tree)
{
    std::vector<std::string> pages{"README.md"};
    std::error_code ec;
    if (fs::is_directory(tree / "docs", ec))
        for (const auto& entry : fs::recursive_directory_iterator(tree / "docs"))
            if (entry.is_regular_file() && is_markdown(entry.path()))
                pages.push_back(entry.path().lexically_relative(tree).generic_string());
    std::sort(pages.begin() + 1, pages.end());
    return pages;
}

// Every broken link of the pages, one line each: "PAGE:LINE: TARGET: why".
std::vector<std::string> link_faults(const fs::path& tree)
{
    std::map<std::string, md_page> read;
    const auto page_at = [&](const std::string& rel) -> const md_page& {
        auto it = read.find(rel);
        if (it == read.end())
            it = read.emplace(rel, read_page(read_text_file((tree / rel).string()))).first;
        return it->second;
    };

    std::vector<std::string> faults;
    for (const std::string& rel : doc_pages(tree)) {
        const md_page page = page_at(rel);
        const auto fault = [&](const md_link& link, const std::string& why) {
            faults.push_back(rel + ":" + std::to_string(link.line) + ": " + link.target + ": " + why);
        };
        const auto check = [&](const md_link& link) {
            const std::string& target = link.target;
            if (target.empty())
                return fault(link, "no target");
            if (has_scheme(target))
                return;
            const auto hash = target.find('#');
            const std::string path = percent_decoded(target.substr(0, hash));
            const std::string anchor = hash == std::string::npos ? "" : percent_decoded(target.substr(hash + 1));
            std::string file = rel;
            if (!path.empty()) {
                if (path[0] == '/')
                    return fault(link, "not relative: a link in the tree names its target from the page's folder");
                const fs::path resolved = (fs::path(rel).parent_path() / path).lexically_normal();
                file = resolved.generic_string();
                if (file.rfind("..", 0) == 0)
                    return fault(link, "leads out of the source tree");
                std::error_code ec;
                if (!fs::exists(tree / resolved, ec))
                    return fault(link, "no such file or folder in the source tree");
            }
            if (hash == std::string::npos)
                return;
            if (!is_markdown(file)) {
                if (!line_anchor(anchor))
                    fault(link, "an anchor in " + file + ", which is no Markdown page");
                return;
            }
            const md_page& target_page = page_at(file);
            if (std::find(target_page.anchors.begin(), target_page.anchors.end(), anchor) ==
                target_page.anchors.end())
                fault(link, "no heading of " + file + " makes the anchor #" + anchor);
        };
        for (const md_link& link : page.links)
            check(link);
        for (const auto& [label, link] : page.definitions)
            check(link);
        for (const md_link& ref : page.references)
            if (page.definitions.count(ref.target) == 0)
                fault(ref, "a reference with no definition [" + ref.target + "]: ...");
    }
    return faults;
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines)
        out += line + "\n";
    return out;
}

class DocTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/doc-links.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        tree = templ;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(tree, ec);
    }
    void write(const std::string& rel, const std::string& text) const
    {
        fs::create_directories((tree / rel).parent_path());
        std::FILE* f = std::fopen((tree / rel).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }

    fs::path tree;
};

}  // namespace

TEST(DocLinks, EveryRelativeLinkOfTheReadmeAndDocsLandsOnAFileAndHeading)
{
    const std::vector<std::string> faults = link_faults(STATION_SOURCE_DIR);
    EXPECT_TRUE(faults.empty()) << joined(faults);
}

TEST(DocLinks, TheReadmeLinksEveryDocsPage)
{
    const fs::path tree = STATION_SOURCE_DIR;
    const md_page readme = read_page(read_text_file((tree / "README.md").string()));
    const std::vector<std::string> pages = doc_pages(tree);
    ASSERT_GT(pages.size(), 1u) << "no page in docs/";
    for (auto page = pages.begin() + 1; page != pages.end(); ++page)
        EXPECT_TRUE(std::any_of(readme.links.begin(), readme.links.end(),
                                [&](const md_link& l) { return l.target.substr(0, l.target.find('#')) == *page; }))
            << *page << " is not in the README's map of the documentation";
}

TEST(DocLinks, AnchorsAreMadeAsGitHubMakesThem)
{
    EXPECT_EQ(github_anchor("Real SIP on a board: sipbridge beside baresip"),
              "real-sip-on-a-board-sipbridge-beside-baresip");
    EXPECT_EQ(github_anchor("As a monitoring plugin (Icinga, Nagios, NRPE)"), "as-a-monitoring-plugin-icinga-nagios-nrpe");
    EXPECT_EQ(github_anchor("The station's figures for the site's monitoring"),
              "the-stations-figures-for-the-sites-monitoring");
    EXPECT_EQ(github_anchor("Is this station ready?"), "is-this-station-ready");
    EXPECT_EQ(github_anchor("The queue on /userdata"), "the-queue-on-userdata");
    EXPECT_EQ(github_anchor("`station-check` -- and_more"), "station-check----and_more");
    EXPECT_EQ(github_anchor("Café au lait"), "café-au-lait");

    const md_page page = read_page("# Top #\n## Services\n```\n## Not a heading\n```\n### Services\n#NoBlank\n");
    EXPECT_EQ(page.anchors, (std::vector<std::string>{"top", "services", "services-1"}));
}

TEST_F(DocTree, EachBrokenLinkIsNamedAndNoSoundOne)
{
    write("etc/speaker.conf", "[system]\n");
    write("README.md",
          "# Front page\n"
          "\n"
          "See [a](docs/a.md), [its part](docs/a.md#part-two-the-rest), [settings](etc/speaker.conf),\n"
          "[a folder](docs/), [a line](etc/speaker.conf#L1-L2), [the web](https://example.com/x.md#nothing),\n"
          "[here](#front-page), ![a picture](etc/speaker.conf), [a reference][r1], [a%20space](docs/a%20b.md), [split\n"
          "across lines](docs/a.md#part-two-the-rest).\n"
          "\n"
          "`[in code](nowhere.md)` is text, and so is [site] (a section) and a `` `quoted` [x](y) ``.\n"
          "\n"
          "   ```sh\n"
          "   [in a fence](nowhere.md)\n"
          "   ```\n"
          "\n"
          "[r1]: docs/a.md#a-1\n"
          "[r2]: docs/gone.md\n"
          "\n"
          "Broken: [gone](docs/gone.md), [no part](docs/a.md#no-such-part), [from the root](/docs/a.md),\n"
          "[out](../outside.md), [undefined][nothing], [here](#nope), [a line](etc/speaker.conf#settings),\n"
          "[case](docs/a.md#Part-two-the-rest), [split\n"
          "wrong](docs/a.md#part-three).\n");
    write("docs/a.md",
          "# A\n"
          "\n"
          "## Part two: the rest\n"
          "\n"
          "## A\n"
          "\n"
          "[back](../README.md#front-page), [the second A](#a-1), [with `code`](a.md#part-two-the-rest).\n"
          "[not back](../README.md#back)\n");
    write("docs/a b.md", "# B\n");

    const std::vector<std::string> faults = link_faults(tree);
    std::vector<std::string> where;
    for (const std::string& f : faults)
        where.push_back(f.substr(0, f.find(": ", f.find(": ") + 2)));
    EXPECT_EQ(where, (std::vector<std::string>{
                         "README.md:17: docs/gone.md",
                         "README.md:17: docs/a.md#no-such-part",
                         "README.md:17: /docs/a.md",
                         "README.md:18: ../outside.md",
                         "README.md:18: #nope",
                         "README.md:18: etc/speaker.conf#settings",
                         "README.md:19: docs/a.md#Part-two-the-rest",
                         "README.md:20: docs/a.md#part-three",
                         "README.md:15: docs/gone.md",
                         "README.md:18: nothing",
                         "docs/a.md:8: ../README.md#back",
                     }))
        << joined(faults);
}
