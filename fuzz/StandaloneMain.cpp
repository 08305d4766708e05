// A small driver for the fuzz targets in builds without libFuzzer (g++, the sanitizer build): runs
// every seed, then a fixed number of deterministic mutations of them. Arguments follow libFuzzer's
// so that one command line works with both:
//   fuzz_<target> [-runs=N] [-seed=S] [-dict=FILE] [DIR|FILE]...
// Directories are corpora (seeds plus mutations); given only files, each file runs once, which is
// how a crash input is replayed. Flags it does not know are ignored.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

namespace {

namespace fs = std::filesystem;
using TBytes = std::string;

constexpr size_t MaxInputSize = 4096;
const char* const FailureFile = "fuzz-failure-input";

// The input being run, for the crash handler (which may only use async-signal-safe calls).
const char* CurrentData = nullptr;
size_t CurrentSize = 0;

void OnCrash(int Signal) {
    int Fd = open(FailureFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (Fd >= 0) {
        for (size_t Done = 0; Done < CurrentSize;) {
            ssize_t N = write(Fd, CurrentData + Done, CurrentSize - Done);
            if (N <= 0) break;
            Done += static_cast<size_t>(N);
        }
        close(Fd);
        const char Note[] = "\nfailing input written to fuzz-failure-input\n";
        (void)!write(2, Note, sizeof Note - 1);
    }
    signal(Signal, SIG_DFL);
    raise(Signal);
}

void InstallCrashHandler() {
    for (int Signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) signal(Signal, OnCrash);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool UnderAddressSanitizer = true;
#else
constexpr bool UnderAddressSanitizer = false;
#endif
#else
constexpr bool UnderAddressSanitizer = false;
#endif

// A runaway allocation should fail in this process, not starve the machine. AddressSanitizer
// reserves far more address space than it uses, so there its own allocation limit applies instead.
void LimitMemory() {
    if (UnderAddressSanitizer) return;
    const rlim_t Limit = rlim_t(4) << 30;
    rlimit Current{};
    if (getrlimit(RLIMIT_AS, &Current) == 0 &&
        (Current.rlim_cur == RLIM_INFINITY || Current.rlim_cur > Limit)) {
        Current.rlim_cur = Limit;
        setrlimit(RLIMIT_AS, &Current);
    }
}

void Run(const TBytes& Input) {
    CurrentData = Input.data();
    CurrentSize = Input.size();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(Input.data()), Input.size());
}

bool ReadFile(const fs::path& Path, TBytes& Bytes) {
    std::ifstream In(Path, std::ios::binary);
    if (!In) return false;
    std::ostringstream S;
    S << In.rdbuf();
    Bytes = S.str();
    return true;
}

// libFuzzer's dictionary format: one token per line, optionally name=, in double quotes, with \\, \"
// and \xNN escapes; "#" starts a comment line.
std::vector<TBytes> ReadDictionary(const fs::path& Path) {
    std::vector<TBytes> Tokens;
    std::ifstream In(Path);
    std::string Line;
    while (std::getline(In, Line)) {
        const size_t Open = Line.find('"');
        const size_t Close = Line.rfind('"');
        if (Line.empty() || Line[0] == '#' || Open == std::string::npos || Close <= Open) continue;
        TBytes Token;
        for (size_t I = Open + 1; I < Close; ++I) {
            if (Line[I] != '\\' || I + 1 >= Close) {
                Token += Line[I];
            } else if (Line[I + 1] == 'x' && I + 3 < Close) {
                Token += static_cast<char>(std::stoi(Line.substr(I + 2, 2), nullptr, 16));
                I += 3;
            } else {
                Token += Line[++I];
            }
        }
        if (!Token.empty()) Tokens.push_back(Token);
    }
    return Tokens;
}

class TMutator {
public:
    TMutator(uint32_t Seed, const std::vector<TBytes>& Corpus, const std::vector<TBytes>& Dictionary)
        : FRandom(Seed), FCorpus(Corpus), FDictionary(Dictionary) {}

    TBytes Next() {
        TBytes Input = FCorpus.empty() ? TBytes() : FCorpus[Below(FCorpus.size())];
        const size_t Steps = 1 + Below(4);
        for (size_t Step = 0; Step < Steps; ++Step) MutateOnce(Input);
        if (Input.size() > MaxInputSize) Input.resize(MaxInputSize);
        return Input;
    }

private:
    size_t Below(size_t Bound) {
        return Bound == 0 ? 0 : std::uniform_int_distribution<size_t>(0, Bound - 1)(FRandom);
    }

    // Bytes that matter to the parsers: separators, signs, hex markers, digits, letters, high bytes.
    char InterestingByte() {
        static const char Bytes[] = {' ', '\t', '\r', '\n', '=', '$', 'x', '-', '+',  '0',    '9',    'F',
                                     'g', '[',  ']',  ';',  '"', ':', '.', 'L', '\0', '\x7F', '\x80', '\xFF'};
        return Below(2) ? Bytes[Below(sizeof Bytes)] : static_cast<char>(Below(256));
    }

    void MutateOnce(TBytes& Input) {
        switch (Below(Input.empty() ? 2 : 8)) {
            case 0:  // insert a byte
                Input.insert(Input.begin() + static_cast<ptrdiff_t>(Below(Input.size() + 1)),
                             InterestingByte());
                break;
            case 1:  // insert a dictionary token, or a piece of another input
                if (!FDictionary.empty() && Below(2)) {
                    Input.insert(Below(Input.size() + 1), FDictionary[Below(FDictionary.size())]);
                } else if (!FCorpus.empty()) {
                    const TBytes& Other = FCorpus[Below(FCorpus.size())];
                    const size_t From = Below(Other.size() + 1);
                    Input.insert(Below(Input.size() + 1), Other.substr(From, Below(Other.size() - From + 1)));
                }
                break;
            case 2:  // change a byte
                Input[Below(Input.size())] = InterestingByte();
                break;
            case 3:  // flip a bit
                Input[Below(Input.size())] ^= static_cast<char>(1u << Below(8));
                break;
            case 4: {  // erase a range
                const size_t From = Below(Input.size());
                Input.erase(From, 1 + Below(std::min<size_t>(Input.size() - From, 8)));
                break;
            }
            case 5: {  // repeat a range
                const size_t From = Below(Input.size());
                const size_t Length = 1 + Below(std::min<size_t>(Input.size() - From, 16));
                Input.insert(From, Input.substr(From, Length));
                break;
            }
            case 6: {  // swap two bytes
                std::swap(Input[Below(Input.size())], Input[Below(Input.size())]);
                break;
            }
            default: {  // overwrite a digit run with a boundary number
                static const char* const Numbers[] = {
                    "0",   "1",    "5",          "6",          "47",          "48",         "53",
                    "54",  "59",   "60",         "61",         "63",          "64",         "196",
                    "197", "255",  "256",        "314",        "315",         "511",        "-1",
                    "$FF", "0x1F", "2147483647", "2147483648", "-2147483648", "99999999999"};
                const size_t At = Below(Input.size() + 1);
                size_t End = At;
                while (End < Input.size() && Input[End] >= '0' && Input[End] <= '9') ++End;
                Input.replace(At, End - At, Numbers[Below(std::size(Numbers))]);
                break;
            }
        }
    }

    std::mt19937 FRandom;
    const std::vector<TBytes>& FCorpus;
    const std::vector<TBytes>& FDictionary;
};

}  // namespace

int main(int argc, char** argv) {
    long Runs = 0;
    uint32_t Seed = 20240611;
    std::vector<TBytes> Dictionary;
    std::vector<fs::path> Directories, Files;
    for (int I = 1; I < argc; ++I) {
        const std::string Arg = argv[I];
        if (Arg.rfind("-runs=", 0) == 0) {
            Runs = std::stol(Arg.substr(6));
        } else if (Arg.rfind("-seed=", 0) == 0) {
            Seed = static_cast<uint32_t>(std::stoul(Arg.substr(6)));
        } else if (Arg.rfind("-dict=", 0) == 0) {
            Dictionary = ReadDictionary(Arg.substr(6));
        } else if (!Arg.empty() && Arg[0] == '-') {
            continue;  // a libFuzzer flag that means nothing here
        } else if (fs::is_directory(Arg)) {
            Directories.push_back(Arg);
        } else if (fs::is_regular_file(Arg)) {
            Files.push_back(Arg);
        } else {
            std::fprintf(stderr, "%s: no such file or folder\n", Arg.c_str());
            return 2;
        }
    }

    InstallCrashHandler();
    LimitMemory();

    std::vector<TBytes> Corpus;
    std::vector<fs::path> Paths = Files;
    for (const fs::path& Directory : Directories) {
        std::vector<fs::path> Entries;
        for (const auto& Entry : fs::directory_iterator(Directory))
            if (Entry.is_regular_file()) Entries.push_back(Entry.path());
        std::sort(Entries.begin(), Entries.end());  // the order of a directory listing is not stable
        Paths.insert(Paths.end(), Entries.begin(), Entries.end());
    }
    for (const fs::path& Path : Paths) {
        TBytes Bytes;
        if (!ReadFile(Path, Bytes)) {
            std::fprintf(stderr, "%s: cannot read\n", Path.c_str());
            return 2;
        }
        Run(Bytes);
        Corpus.push_back(std::move(Bytes));
    }

    long Mutations = 0;
    if (!Directories.empty()) {
        TMutator Mutator(Seed, Corpus, Dictionary);
        for (; Mutations < Runs; ++Mutations) Run(Mutator.Next());
    }
    std::printf("%s: %zu inputs and %ld mutations (seed %u) ran without a failure\n", argv[0], Corpus.size(),
                Mutations, Seed);
    return 0;
}
