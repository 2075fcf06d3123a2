#include "support/imported_library.h"

#include <set>
#include <sys/wait.h>

#include "support/jpeg_pictures.h"

namespace oakenmere::testing {

std::string randomBytes(std::mt19937& random, std::size_t size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

std::string picture(int width) { return std::string(platform::asText(jpegPicture(width, 30, 0))); }

bool hasEnded(const ChildProcess& child) {
    siginfo_t info{};
    return ::waitid(P_PID, child.pid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child.pid();
}

fs::path fileNamed(const fs::path& folder, std::string_view prefix, std::uintmax_t bytes) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code sizeError;
        const std::uintmax_t size = fs::file_size(it->path(), sizeError);
        if (!sizeError && size >= bytes && it->path().filename().string().starts_with(prefix)) return it->path();
    }
    return {};
}

std::string libraryCheck(const fs::path& library, const std::vector<fs::path>& folders) {
    std::vector<std::string> arguments{library.string()};
    for (const fs::path& folder : folders) arguments.push_back(folder.string());
    return python(R"(import hashlib, os, sqlite3, sys
library = sys.argv[1]
def files(top): return [os.path.join(d, n) for d, _, names in os.walk(top) for n in names]
def digest(path):
    with open(path, 'rb') as f: return hashlib.file_digest(f, 'sha256').hexdigest()
db = sqlite3.connect(os.path.join(library, 'Database/catalogue.sqlite'))
rows = {p: (s, n) for p, s, n in db.execute('SELECT relative_path, sha256, size FROM originals')}
db.close()
disk = {os.path.relpath(p, library): (digest(p), os.path.getsize(p)) for p in files(os.path.join(library, 'Masters'))}
held = sorted(s for s, _ in rows.values())
wanted = sorted({digest(p) for folder in sys.argv[2:] for p in files(folder) if os.path.isfile(p)})
problems = ['%r catalogued as %s, on disk %s' % (p, rows.get(p), disk.get(p)) for p in rows.keys() | disk.keys() if rows.get(p) != disk.get(p)]
if held != wanted: problems.append('%d held (%d distinct), %d wanted' % (len(held), len(set(held)), len(wanted)))
temporary = ('.brightloft-', '.incomplete-', '.kept-', '.job.json-', '.icon-', '.downloading-')
problems += [repr(p) for p in files(library) if os.path.basename(p).startswith(temporary)]
jobs = os.path.join(library, 'Staging/FolderCopies')
problems += os.listdir(jobs) if os.path.isdir(jobs) else []
downloads = os.path.join(library, 'Staging/CameraDownloads')
problems += ['download folder ' + n for n in os.listdir(downloads)] if os.path.isdir(downloads) else []
print('; '.join(problems) or '%d contents, each once' % len(held)))",
                  arguments);
}

std::string previewOf(const fs::path& library) {
    return python("import json, sys; s = json.loads(sys.argv[1])['summary']; print(s['captureCount'], s['details']['hasUnfinishedImport'])",
                  {runOakenmere({"preview", "--json", library.string()}).output});
}

std::size_t makeCard(const TempDir& dir, const fs::path& card, int count) {
    std::mt19937 random(11);
    std::vector<std::string> made;
    const char* const extensions[] = {".JPG", ".CR2", ".MOV"};
    for (int i = 0; i < count; ++i) {
        const bool isPicture = i % 20 == 3;
        made.push_back(i % 17 == 16   ? made[random() % made.size()]
                       : i % 97 == 50 ? randomBytes(random, std::size_t(2 + i % 3) << 20)
                       : isPicture    ? picture(40 + i % 30)
                                      : randomBytes(random, 1024 + random() % (63 << 10)));
        const std::string name = "IMG_" + std::to_string(1000 + i % 40) + (isPicture ? ".JPG" : extensions[i % 3]);
        dir.writeFile(card / ("DCIM/" + std::to_string(100 + i % 13) + "CANON") / name, made.back());
    }
    return std::set<std::string>(made.begin(), made.end()).size();
}

}  // namespace oakenmere::testing
