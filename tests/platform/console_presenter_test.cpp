// The console presenter reads answers from standard input; each case runs in a child process
// whose input and output are files, so the test's own terminal is never touched.
#include "MessageBox.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace sorvel {
namespace {

struct Outcome {
    std::vector<int> answers;
    std::string output;
};

Outcome RunWithInput(const std::string& input, bool answerYes, std::vector<unsigned> flags) {
    test::TempDir dir;
    auto in = dir.Write("in.txt", input);
    auto out = dir.Path() / "out.txt";
    auto results = dir.Path() / "answers.txt";
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int inFd = open(in.c_str(), O_RDONLY);
        int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(inFd, 0);
        dup2(outFd, 1);
        SetMessagePresenter(MakeConsolePresenter(answerYes));
        FILE* answers = std::fopen(results.c_str(), "w");
        for (unsigned f : flags)
            std::fprintf(answers, "%d\n", ShowMessageBox("Line one\nline two", "caption", f));
        std::fclose(answers);
        std::fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome outcome;
    auto bytes = test::ReadFileBytes(out);
    outcome.output.assign(bytes.begin(), bytes.end());
    auto answerBytes = test::ReadFileBytes(results);
    std::istringstream answers(std::string(answerBytes.begin(), answerBytes.end()));
    for (int answer; answers >> answer;)
        outcome.answers.push_back(answer);
    return outcome;
}

TEST(ConsolePresenter, PrintsTextAndReadsOneLinePerPrompt) {
    auto outcome = RunWithInput("\nYes\nok\nno\n", false,
                                {MB_OKCANCEL, MB_YESNO, MB_OKCANCEL, MB_YESNO, MB_OK, MB_OKCANCEL});
    // Empty, "Yes", "ok" answer positively; "no" negatively; a plain message reads nothing;
    // the end of input answers Cancel.
    EXPECT_EQ(outcome.answers, (std::vector<int>{IDOK, IDYES, IDOK, IDNO, IDOK, IDCANCEL}));
    std::string expected;
    for (int i = 0; i < 6; ++i)
        expected += "Line one\nline two\n";
    EXPECT_EQ(outcome.output, expected);
}

TEST(ConsolePresenter, AnswerYesReadsNothing) {
    auto outcome = RunWithInput("no\nno\n", true, {MB_OKCANCEL, MB_YESNO});
    EXPECT_EQ(outcome.answers, (std::vector<int>{IDOK, IDYES}));
}

} // namespace
} // namespace sorvel
