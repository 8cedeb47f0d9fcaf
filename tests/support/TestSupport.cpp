#include "TestSupport.h"

#include "qvrCrypt.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace test {

TTempDir::TTempDir()
{
#ifdef _WIN32
    // The C library of Windows has no mkdtemp: a random name is tried until one is new.
    // Its length is fixed, so that a test near the length a path may have there passes
    // or fails alike from run to run.
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int i = 0; i < 100 && FPath.empty(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "unspool-test-%016llx",
                      static_cast<unsigned long long>(rng()));
        const fs::path p = fs::temp_directory_path() / name;
        if (fs::create_directory(p)) FPath = p;
    }
    if (FPath.empty()) throw std::runtime_error("no new temporary folder");
#else
    std::string tmpl = (fs::temp_directory_path() / "unspool-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    FPath = tmpl;
#endif
}

TTempDir::~TTempDir()
{
    std::error_code ec;
    // Read-only files and folders made by the tests must not block the clean-up.
    for (auto it = fs::recursive_directory_iterator(FPath, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(FPath, ec);
}

std::string Inside(const fs::path& P)
{
    std::string s = P.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

Bytes ReadFile(const fs::path& P)
{
    std::ifstream f(P, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

std::string ReadText(const fs::path& P)
{
    Bytes b = ReadFile(P);
    return std::string(b.begin(), b.end());
}

void WriteFile(const fs::path& P, const Bytes& Data)
{
    fs::create_directories(P.parent_path());
    std::ofstream f(P, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
}

void WriteText(const fs::path& P, const std::string& Text)
{
    WriteFile(P, Bytes(Text.begin(), Text.end()));
}

uint32_t Crc32Of(const Bytes& Data)
{
    return static_cast<uint32_t>(
        crc32(0, Data.data(), static_cast<uInt>(Data.size())));
}

Bytes RandomBytes(size_t N, uint32_t Seed)
{
    std::mt19937 rng(Seed);
    Bytes b(N);
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    return b;
}

Bytes TextBytes(size_t N, uint32_t Seed)
{
    static const char* Words[] = {"archive ", "entry ", "header ", "stream ", "window ",
                                  "central ", "local\n", "deflate ", "store ", "folder "};
    std::mt19937 rng(Seed);
    Bytes b;
    while (b.size() < N) {
        const char* w = Words[rng() % 10];
        b.insert(b.end(), w, w + std::char_traits<char>::length(w));
    }
    b.resize(N);
    return b;
}

namespace {

std::string Slurp(const std::string& Path)
{
    std::ifstream f(Path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

TRunResult Shell(const std::string& Command)
{
#ifdef _WIN32
    // Windows has no POSIX shell to run Command in; the suites skip what needs one
    // (HaveTool is false there, and SkipOnWindows says why).
    return {-1, "", "no POSIX shell on Windows: " + Command};
#else
    TTempDir tmp;
    const std::string out = (tmp.Path() / "out").string(), err = (tmp.Path() / "err").string();
    const std::string full = "(" + Command + ") </dev/null >" + out + " 2>" + err;
    TRunResult r;
    const int st = std::system(full.c_str());
    r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.Out = Slurp(out);
    r.Err = Slurp(err);
    return r;
#endif
}

TRunResult RunOnTerminal(const std::string& Command, const std::vector<std::string>& Answers,
                         const std::string& Prompt)
{
    // The answer goes in only once the prompt is out, as a user's would: typing ahead
    // would reach the terminal before the command could change its mode.
    static const char* const Driver = R"(import os, pty, sys
command, prompt, answers = sys.argv[1], sys.argv[2].encode(), sys.argv[3:]
pid, fd = pty.fork()
if pid == 0:
    os.execv('/bin/sh', ['sh', '-c', command])
shown, asked = b'', 0
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    shown += data
    while shown.count(prompt) > asked:
        asked += 1
        os.write(fd, answers.pop(0).encode() + b'\n' if answers else b'\x04')
sys.stdout.buffer.write(shown)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
)";
    TTempDir tmp;
    WriteText(tmp / "drive_tty.py", Driver);
    std::string line = "python3 " + Quote((tmp / "drive_tty.py").string()) + " " +
                       Quote(Command) + " " + Quote(Prompt);
    for (const std::string& a : Answers) line += " " + Quote(a);
    return Shell(line);
}

bool HaveTool(const std::string& Name)
{
    return !OnWindows() && Shell("command -v " + Name).Status == 0;
}

std::string Quote(const std::string& S)
{
    std::string q = "'";
    for (char c : S) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

fs::path CorpusDir() { return fs::path(UNSPOOL_CORPUS_DIR); }
fs::path LegacyBenchDir() { return fs::path(UNSPOOL_LEGACY_BENCH_DIR); }

std::string LegacyBenchMissing()
{
    if (fs::is_regular_file(LegacyBenchDir() / "MANIFEST.jsonl")) return "";
    return "the legacy benchmark set is not at " + LegacyBenchDir().lexically_normal().string();
}
fs::path CliPath() { return fs::path(UNSPOOL_CLI_PATH); }

std::vector<TManifestRecord> ReadManifest(const fs::path& File)
{
    // The manifest is JSON lines; support/flatten-manifest.py flattens what the tests need
    // into tab-separated records so that the suites carry no JSON parser of their own. The
    // Windows build flattens them when it is built (named after the manifest's folder), as
    // there is no Python where its suites run.
#ifdef _WIN32
    const std::string text =
        Slurp((fs::path(UNSPOOL_FLAT_MANIFEST_DIR) / File.parent_path().filename()).string() +
              ".tsv");
#else
    const std::string text =
        Shell("python3 " + Quote(UNSPOOL_FLATTEN_SCRIPT) + " " + Quote(File.string())).Out;
#endif
    std::vector<TManifestRecord> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream ls(line);
        std::string part;
        while (std::getline(ls, part, '\t')) f.push_back(part);
        while (f.size() < 7) f.emplace_back();
        if (f[0] == "R") {
            TManifestRecord rec;
            rec.File = f[1];
            rec.Kind = f[2];
            rec.ExpectedFormat = f[3];
            rec.Password = f[4];
            out.push_back(rec);
        } else if (f[0] == "E" && !out.empty()) {
            TExpectedEntry e;
            e.Name = f[1];
            e.IsDir = f[2] == "dir";
            e.Size = std::stoull(f[3].empty() ? "0" : f[3]);
            e.Crc = static_cast<uint32_t>(std::stoul(f[4].empty() ? "0" : f[4], nullptr, 16));
            e.Sha256 = f[6];
            out.back().Entries.push_back(e);
            out.back().Methods.push_back(f[5]);
        }
    }
    return out;
}

const std::vector<TManifestRecord>& Manifest()
{
    static const std::vector<TManifestRecord> records =
        ReadManifest(CorpusDir() / "MANIFEST.jsonl");
    return records;
}

const std::vector<TManifestRecord>& LegacyBenchManifest()
{
    static const std::vector<TManifestRecord> records =
        ReadManifest(LegacyBenchDir() / "MANIFEST.jsonl");
    return records;
}

const TManifestRecord* FindManifest(const std::vector<TManifestRecord>& Records,
                                    const std::string& File)
{
    for (const auto& r : Records)
        if (r.File == File) return &r;
    return nullptr;
}

const TManifestRecord* FindManifest(const std::string& File)
{
    return FindManifest(Manifest(), File);
}

std::string CompareWithManifest(const TManifestRecord& R, const fs::path& Dir)
{
    std::ostringstream diff;
    std::map<std::string, bool> expected;
    for (const auto& e : R.Entries) {
        std::string name = e.Name;
        if (!name.empty() && name.back() == '/') name.pop_back();
        if (e.IsDir) continue;
        expected[name] = true;
        const fs::path p = Dir / name;
        if (!fs::is_regular_file(p)) {
            diff << "missing " << name << "; ";
            continue;
        }
        const Bytes data = ReadFile(p);
        if (data.size() != e.Size) diff << name << " size " << data.size() << " != " << e.Size << "; ";
        else if (Crc32Of(data) != e.Crc) diff << name << " CRC differs; ";
    }
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(Dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        const std::string rel = fs::relative(it->path(), Dir).generic_string();
        if (!expected.count(rel)) diff << "unexpected " << rel << "; ";
    }
    return diff.str();
}

// ---------------------------------------------------------------------------------
// ZIP builder

namespace {

void Put16(Bytes& b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(Bytes& b, uint64_t v)
{
    Put32(b, static_cast<uint32_t>(v));
    Put32(b, static_cast<uint32_t>(v >> 32));
}

// The library's own variant: second signature byte L, body and name enciphered with
// the fixed header key state, the extra field left plain.
void Encipher(Bytes& Out, size_t RecStart, size_t BodyLen, size_t NameLen)
{
    Out[RecStart + 1] = 0x4C;
    TZipCipher c;
    c.LoadHeaderKeys();
    c.EncipherBuffer(Out.data() + RecStart + 4, static_cast<int64_t>(BodyLen));
    c.EncipherBuffer(Out.data() + RecStart + 4 + BodyLen, static_cast<int64_t>(NameLen));
}

} // namespace

Bytes BuildZip(const std::vector<TZipEntrySpec>& Entries, const TZipBuildOptions& O)
{
    Bytes out = O.Prefix;
    const uint32_t base = O.AdjustOffsets ? 0 : static_cast<uint32_t>(O.Prefix.size());
    Bytes central;
    uint32_t count = 0;
    for (const auto& e : Entries) {
        const bool shared = e.LocalOffset >= 0;
        const uint32_t offset = shared ? static_cast<uint32_t>(e.LocalOffset)
                                       : static_cast<uint32_t>(out.size()) - base;
        const uint32_t crc = e.Raw ? e.Crc : Crc32Of(e.Data) ^ (e.BadCrc ? 0x1234u : 0u);
        const uint64_t usize = e.Raw ? e.UncompressedSize : e.Data.size();
        const uint64_t csize = e.Data.size();
        const uint16_t flags = static_cast<uint16_t>(e.Flags | (e.DataDescriptor ? 8 : 0));
        Bytes zip64Local, zip64Central;
        if (e.Zip64) {
            Put16(zip64Local, 1);
            Put16(zip64Local, 16);
            Put64(zip64Local, usize);
            Put64(zip64Local, csize);
            Put16(zip64Central, 1);
            Put16(zip64Central, 24);
            Put64(zip64Central, usize);
            Put64(zip64Central, csize);
            Put64(zip64Central, offset);
        }
        const std::string& localName = e.LocalName.empty() ? e.Name : e.LocalName;
        // The local header, the data and any descriptor; not written for an entry that
        // points elsewhere.
        Bytes local;
        Put32(local, 0x04034B50);
        Put16(local, e.Zip64 ? 45 : 20);
        Put16(local, flags);
        Put16(local, e.Method);
        Put32(local, e.DosTime);
        Put32(local, e.DataDescriptor ? 0 : crc);
        Put32(local, e.DataDescriptor ? 0 : e.Zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(csize));
        Put32(local, e.DataDescriptor ? 0 : e.Zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(usize));
        Put16(local, static_cast<uint32_t>(localName.size()));
        Put16(local, static_cast<uint32_t>(zip64Local.size() + e.Extra.size() +
                                           e.LocalExtra.size()));
        local.insert(local.end(), localName.begin(), localName.end());
        if (O.EncipherRecords) Encipher(local, 0, 26, localName.size());
        local.insert(local.end(), zip64Local.begin(), zip64Local.end());
        local.insert(local.end(), e.Extra.begin(), e.Extra.end());
        local.insert(local.end(), e.LocalExtra.begin(), e.LocalExtra.end());
        local.insert(local.end(), e.Data.begin(), e.Data.end());
        if (e.DataDescriptor) {
            if (!e.UnsignedDescriptor) Put32(local, 0x08074B50);
            Put32(local, crc);
            Put32(local, static_cast<uint32_t>(csize));
            Put32(local, static_cast<uint32_t>(usize));
        }
        if (!shared) out.insert(out.end(), local.begin(), local.end());
        const size_t crec = central.size();
        Put32(central, 0x02014B50);
        Put16(central, static_cast<uint32_t>(e.Host << 8 | 0x1E));
        Put16(central, e.Zip64 ? 45 : 20);
        Put16(central, flags);
        Put16(central, e.Method);
        Put32(central, e.DosTime);
        Put32(central, crc);
        Put32(central, e.Zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(csize));
        Put32(central, e.Zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(usize));
        Put16(central, static_cast<uint32_t>(e.Name.size()));
        Put16(central, static_cast<uint32_t>(zip64Central.size() + e.Extra.size() +
                                             e.CentralExtra.size()));
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, e.ExternalAttr);
        Put32(central, e.Zip64 ? 0xFFFFFFFFu : offset);
        central.insert(central.end(), e.Name.begin(), e.Name.end());
        if (O.EncipherRecords) Encipher(central, crec, 42, e.Name.size());
        central.insert(central.end(), zip64Central.begin(), zip64Central.end());
        central.insert(central.end(), e.Extra.begin(), e.Extra.end());
        central.insert(central.end(), e.CentralExtra.begin(), e.CentralExtra.end());
        ++count;
    }
    if (O.NoCentral) return out;
    const uint32_t cdOffset = static_cast<uint32_t>(out.size()) - base;
    const uint64_t endDirOffset = O.EndDirOffset >= 0 ? static_cast<uint64_t>(O.EndDirOffset) : cdOffset;
    out.insert(out.end(), central.begin(), central.end());
    if (O.Zip64End) {
        const uint64_t endOffset = out.size() - base;
        Put32(out, 0x06064B50);
        Put64(out, 44);
        Put16(out, 45);
        Put16(out, 45);
        Put32(out, 0);
        Put32(out, 0);
        Put64(out, count);
        Put64(out, count);
        Put64(out, central.size());
        Put64(out, endDirOffset);
        Put32(out, 0x07064B50);
        Put32(out, 0);
        Put64(out, endOffset);
        Put32(out, 1);
    }
    const size_t erec = out.size();
    Put32(out, O.WideEnd ? 0x06055B50 : 0x06054B50);
    Put16(out, O.SaturatedEndDisks ? 0xFFFF : 0);
    Put16(out, O.SaturatedEndDisks ? 0xFFFF : 0);
    Put16(out, O.Zip64End ? 0xFFFF : count);
    Put16(out, O.Zip64End ? 0xFFFF : count);
    Put32(out, static_cast<uint32_t>(central.size()));
    if (O.WideEnd)
        Put64(out, endDirOffset);
    else
        Put32(out, O.Zip64End ? 0xFFFFFFFFu : static_cast<uint32_t>(endDirOffset));
    Put16(out, static_cast<uint32_t>(O.Comment.size()));
    if (O.EncipherRecords) {
        out[erec + 1] = 0x4C;
        TZipCipher c;
        c.LoadHeaderKeys();
        c.EncipherBuffer(out.data() + erec + 4, O.WideEnd ? 22 : 18);
        if (O.WideEnd) out[erec + 1] = 0x5C;
    }
    out.insert(out.end(), O.Comment.begin(), O.Comment.end());
    return out;
}

Bytes Field(uint16_t Tag, const Bytes& Body)
{
    Bytes b;
    Put16(b, Tag);
    Put16(b, static_cast<uint32_t>(Body.size()));
    b.insert(b.end(), Body.begin(), Body.end());
    return b;
}

Bytes Ut(uint8_t Flags, uint32_t Seconds)
{
    Bytes body{Flags};
    Put32(body, Seconds);
    return Field(0x5455, body);
}

Bytes UnicodePath(const std::string& ForName, const std::string& Name)
{
    Bytes body{1};
    Put32(body, Crc32Of(Bytes(ForName.begin(), ForName.end())));
    body.insert(body.end(), Name.begin(), Name.end());
    return Field(0x7075, body);
}

void Encrypt(TZipEntrySpec& E, const std::string& Password)
{
    TZipCipher keys;
    keys.LoadPassword(Password);
    Bytes data = RandomBytes(11, E.Crc);
    data.push_back(static_cast<uint8_t>(E.Crc >> 24));
    data.insert(data.end(), E.Data.begin(), E.Data.end());
    keys.EncipherBuffer(data.data(), static_cast<int64_t>(data.size()));
    E.Data = data;
    E.Flags |= 1;
}

std::string CheckByteTwin(const TZipEntrySpec& E, const std::string& Right)
{
    for (int i = 0;; ++i) {
        const std::string candidate = "twin-" + std::to_string(i);
        if (candidate == Right) continue;
        TZipCipher keys;
        keys.LoadPassword(candidate);
        uint8_t header[12];
        std::copy(E.Data.begin(), E.Data.begin() + 12, header);
        keys.DecipherBuffer(header, 12);
        if (header[11] == static_cast<uint8_t>(E.Crc >> 24)) return candidate;
    }
}

Bytes RawDeflate(const Bytes& In, int Level)
{
    z_stream z{};
    deflateInit2(&z, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, static_cast<uLong>(In.size())));
    z.next_in = const_cast<Bytef*>(In.data());
    z.avail_in = static_cast<uInt>(In.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::vector<TZipEntrySpec> StoredFiles(const std::vector<TFileRow>& Files)
{
    std::vector<TZipEntrySpec> out;
    uint32_t seed = 1;
    for (const TFileRow& f : Files) {
        TZipEntrySpec e;
        e.Name = f.Name;
        e.Data = f.Random ? RandomBytes(f.Size, seed) : TextBytes(f.Size, seed);
        out.push_back(e);
        ++seed;
    }
    return out;
}

TZipEntrySpec Entry(const std::string& Name, const Bytes& Data, uint16_t Method)
{
    TZipEntrySpec e;
    e.Name = Name;
    e.Method = Method;
    if (Method == 8) {
        e.Raw = true;
        e.Data = RawDeflate(Data);
        e.Crc = Crc32Of(Data);
        e.UncompressedSize = Data.size();
    } else {
        e.Data = Data;
    }
    return e;
}

Bytes WithoutDirectory(const Bytes& Zip)
{
    for (size_t i = Zip.size() >= 22 ? Zip.size() - 22 : 0; i + 4 <= Zip.size(); --i) {
        if (Zip[i] == 'P' && Zip[i + 1] == 'K' && Zip[i + 2] == 5 && Zip[i + 3] == 6) {
            const uint32_t dir = static_cast<uint32_t>(Zip[i + 16] | (Zip[i + 17] << 8) |
                                                       (Zip[i + 18] << 16)) |
                                 (static_cast<uint32_t>(Zip[i + 19]) << 24);
            return Bytes(Zip.begin(), Zip.begin() + static_cast<std::ptrdiff_t>(dir));
        }
        if (i == 0) break;
    }
    return Zip;
}

size_t CentralRecordOffset(const Bytes& Zip, size_t Index)
{
    size_t p = GetU32(&Zip[Zip.size() - 22 + 16]);
    for (size_t i = 0; i < Index; ++i)
        p += 46 + GetU16(&Zip[p + 28]) + GetU16(&Zip[p + 30]) + GetU16(&Zip[p + 32]);
    return p;
}

Bytes QuotedOverlapZip(int Files, const Bytes& Content)
{
    // Built from the last entry backwards: each step puts the next entry's local
    // header in front of the data as one stored, non-final Deflate block.
    std::vector<TZipEntrySpec> e(static_cast<size_t>(Files));
    Bytes data = RawDeflate(Content);
    uint32_t crc = Crc32Of(Content);
    uint64_t size = Content.size();
    for (size_t i = e.size(); i-- > 0;) {
        e[i].Name = "q" + std::to_string(i);
        e[i].Method = 8;
        e[i].Raw = true;
        e[i].Data = data;
        e[i].Crc = crc;
        e[i].UncompressedSize = size;
        if (i == 0) break;
        TZipBuildOptions headerOnly;
        headerOnly.NoCentral = true;
        Bytes header = BuildZip({e[i]}, headerOnly);
        header.resize(30 + e[i].Name.size());
        Bytes block = {0};
        Put16(block, static_cast<uint32_t>(header.size()));
        Put16(block, static_cast<uint32_t>(header.size()) ^ 0xFFFFu);
        block.insert(block.end(), header.begin(), header.end());
        data.insert(data.begin(), block.begin(), block.end());
        crc = static_cast<uint32_t>(crc32_combine(Crc32Of(header), crc, static_cast<z_off_t>(size)));
        size += header.size();
    }
    int64_t offset = 0;
    for (size_t i = 1; i < e.size(); ++i) {
        offset += static_cast<int64_t>(30 + e[i - 1].Name.size() + 5);
        e[i].LocalOffset = offset;
    }
    return BuildZip(e);
}

std::vector<int32_t> TRunLog::Codes() const
{
    std::vector<int32_t> c;
    for (const auto& e : Errors) c.push_back(e.second);
    return c;
}

TRunLog RunLogged(TUnZip& Z, const fs::path& Out, bool AnswerVolumes)
{
    TRunLog log;
    Z.ExtractDir(Out.string());
    if (Z.FileSpec().empty()) Z.FileSpec({"*.*"});
    Z.OnError = [&log](TZipCommon& s, const std::string& f, const std::string& ext,
                       const std::string&, int32_t code) {
        log.Errors.emplace_back(ExtractFileName(f), code);
        log.Extended.push_back(ext);
        log.Subjects.push_back(s.ReportSubject());
        log.Events.push_back("error " + ExtractFileName(f) + " " + std::to_string(code));
    };
    Z.OnEnd = [&log](TZipCommon&, const std::string& f, bool pass) {
        log.Verdicts[ExtractFileName(f)] = pass;
        log.Events.push_back("end " + ExtractFileName(f) + " " + std::to_string(pass));
    };
    const auto ownBegin = Z.OnBegin;
    Z.OnBegin = [&log, ownBegin](TZipCommon& s, const std::string& f, int32_t n, bool& take) {
        log.Events.push_back("begin " + ExtractFileName(f));
        if (ownBegin) ownBegin(s, f, n, take);
    };
    // A handler of the test's own (one that cancels, say) still runs.
    const auto ownProgress = Z.OnProgress;
    Z.OnProgress = [&log, ownProgress](TZipCommon& s, uint8_t f, uint8_t a) {
        log.ArchivePercents.push_back(a);
        if (ownProgress) ownProgress(s, f, a);
    };
    // The parts of a split set are taken where they lie; a missing one is declined.
    const bool ownVolumes = AnswerVolumes && !Z.OnNextVolume;
    if (ownVolumes)
        Z.OnNextVolume = [&log](TZipCommon&, std::string& Name, const std::string&, bool Exists,
                                bool& Cancel) {
            log.Volumes.push_back(ExtractFileName(Name));
            Cancel = !Exists;
        };
    log.Count = Z.ExtractFiles();
    Z.OnError = nullptr;
    Z.OnEnd = nullptr;
    Z.OnBegin = ownBegin;
    Z.OnProgress = ownProgress;
    if (ownVolumes) Z.OnNextVolume = nullptr;
    return log;
}

TFileTree TreeOf(const fs::path& Dir)
{
    TFileTree tree;
    for (const std::string& name : FilesBelow(Dir)) {
        const fs::path p = Dir / name;
        // A file the run did not date (one cut short) has the time it was written at,
        // which differs from run to run: any time of the last hour stands for "now".
        fs::file_time_type time = fs::last_write_time(p);
        if (fs::file_time_type::clock::now() - time < std::chrono::hours(1)) time = {};
        tree[name] = {ReadFile(p), time, fs::status(p).permissions()};
    }
    if (fs::exists(Dir))
        for (const auto& e : fs::recursive_directory_iterator(Dir))
            if (e.is_directory())
                tree[fs::relative(e.path(), Dir).generic_string() + "/"] = {
                    Bytes{}, fs::file_time_type{}, e.status().permissions()};
    return tree;
}

std::string TreeDifferences(const TFileTree& Got, const TFileTree& Expected)
{
    std::string d;
    for (const auto& [name, node] : Got) {
        const auto e = Expected.find(name);
        if (e == Expected.end()) d += "extra " + name + "\n";
        else if (std::get<0>(node) != std::get<0>(e->second)) d += "bytes of " + name + "\n";
        else if (std::get<1>(node) != std::get<1>(e->second)) d += "time of " + name + "\n";
        else if (std::get<2>(node) != std::get<2>(e->second)) d += "mode of " + name + "\n";
    }
    for (const auto& [name, node] : Expected)
        if (!Got.count(name)) d += "missing " + name + "\n";
    return d;
}

TRunLog ExpectThreadsAsOne(const fs::path& Archive, const fs::path& Dir,
                           const std::function<void(TUnZip&)>& Setup, int Threads,
                           const std::function<void(const fs::path&)>& Prepare)
{
    auto run = [&](int N, const fs::path& Out) {
        if (Prepare) Prepare(Out);
        TUnZip z;
        z.ArchiveFile(Archive.string());
        z.Threads(N);
        Setup(z);
        return RunLogged(z, Out);
    };
    const TRunLog one = run(1, Dir / "one"), many = run(Threads, Dir / "four");
    EXPECT_EQ(many.Events, one.Events);
    EXPECT_EQ(many.Codes(), one.Codes());
    EXPECT_EQ(many.Count, one.Count);
    EXPECT_EQ(TreeDifferences(TreeOf(Dir / "four"), TreeOf(Dir / "one")), "");
    return many;
}

std::map<std::string, int32_t> TRunLog::ErrorsByName() const
{
    std::map<std::string, int32_t> m;
    for (const auto& [name, code] : Errors) m[name] = code;
    return m;
}

void OpenArchive(TUnZip& Z, const fs::path& Archive, bool ShortReads)
{
    if (ShortReads) {
        const Bytes data = ReadFile(Archive);
        Z.ArchiveSource(Archive.string(),
                        [data] { return std::make_unique<TMemoryStream32>(data, 31); });
    } else {
        Z.ArchiveFile(Archive.string());
    }
}

TRunLog ExtractLogged(const fs::path& Archive, const fs::path& Out, bool ShortReads,
                      const TStringList& Masks, const std::string& Password)
{
    TUnZip z;
    OpenArchive(z, Archive, ShortReads);
    if (!Masks.empty()) z.FileSpec(Masks);
    if (!Password.empty()) z.Passwords({Password});
    return RunLogged(z, Out);
}

void ExpectExtractsAsManifest(const fs::path& Archive, const TManifestRecord& R,
                              bool ShortReads)
{
    SCOPED_TRACE(R.File + (ShortReads ? " (short reads)" : ""));
    TTempDir tmp;
    const TRunLog log = ExtractLogged(Archive, tmp / "out", ShortReads);
    EXPECT_TRUE(log.Errors.empty()) << log.Errors.size() << " reports, first code "
                                    << (log.Errors.empty() ? 0 : log.Errors[0].second);
    size_t files = 0;
    for (const auto& e : R.Entries) files += e.IsDir ? 0 : 1;
    EXPECT_EQ(log.Verdicts.size(), files);
    for (const auto& [name, pass] : log.Verdicts) EXPECT_TRUE(pass) << name;
    EXPECT_EQ(CompareWithManifest(R, tmp / "out"), "");
}

std::vector<std::string> FilesBelow(const fs::path& Dir)
{
    std::vector<std::string> v;
    if (!fs::exists(Dir)) return v;
    for (const auto& e : fs::recursive_directory_iterator(Dir))
        if (e.is_regular_file()) v.push_back(fs::relative(e.path(), Dir).generic_string());
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace test
