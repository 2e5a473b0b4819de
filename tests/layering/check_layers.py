"""Every top-level folder depends only on the folders below it in LAYERS:
its sources include no header of a folder above, and its CMake files link
no target that a folder above defines. The folders in APART do not use the
folders listed for them either, though these sit below."""

import os
import re
import sys

# Bottom first.
LAYERS = ["resources", "crypto", "sockets", "messaging", "runtime", "ui", "app", "service", "testbed",
          "fuzz", "bench", "tests"]
# The service is a program of its own beside the application; the virtual key
# shares nothing with the service but the OTP maths.
APART = {
    "service": {"runtime", "ui", "app"},
    "testbed": {"sockets", "messaging", "runtime", "ui", "app", "service"},
}

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".def")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
DEFINES = re.compile(r"\badd_(?:library|executable)\(\s*([A-Za-z0-9_.-]+)")
LINKS = re.compile(r"\btarget_link_libraries\(([^)]*)\)", re.S)


def files_of(root, folder, suffixes):
    for top, dirs, files in os.walk(os.path.join(root, folder)):
        dirs[:] = sorted(d for d in dirs if d not in ("corpus", "regressions"))
        for name in sorted(files):
            if name.endswith(suffixes):
                yield os.path.join(top, name)


def folder_of(root, path):
    return os.path.relpath(path, root).split(os.sep)[0]


def include_violations(root):
    """(includer, header, folder of the header) for headers taken from above."""
    rank = {f: i for i, f in enumerate(LAYERS)}
    found = []
    for folder in LAYERS:
        for path in files_of(root, folder, SOURCE_SUFFIXES):
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for header in INCLUDE.findall(text):
                if os.path.exists(os.path.join(os.path.dirname(path), header)):
                    continue
                # Include directories: the root and every top-level folder.
                homes = [f for f in LAYERS
                         if os.path.exists(os.path.join(root, f, header))
                         or (header.split("/")[0] == f
                             and os.path.exists(os.path.join(root, header)))]
                if homes and (min(rank[h] for h in homes) > rank[folder]
                              or set(homes) & APART.get(folder, set())):
                    found.append((os.path.relpath(path, root), header, homes[0]))
    return found


def link_violations(root):
    """(CMake file, target, folder defining the target) for links to above."""
    rank = {f: i for i, f in enumerate(LAYERS)}
    cmake_files = {f: list(files_of(root, f, ("CMakeLists.txt", ".cmake"))) for f in LAYERS}
    home = {}
    for folder, paths in cmake_files.items():
        for path in paths:
            with open(path, encoding="utf-8") as f:
                for target in DEFINES.findall(f.read()):
                    home.setdefault(target, folder)
    found = []
    for folder, paths in cmake_files.items():
        for path in paths:
            with open(path, encoding="utf-8") as f:
                text = re.sub(r"#[^\n]*", "", f.read())
            for args in LINKS.findall(text):
                for token in args.split():
                    if token in home and (rank[home[token]] > rank[folder]
                                          or home[token] in APART.get(folder, ())):
                        found.append((os.path.relpath(path, root), token, home[token]))
    return found


def main():
    root = sys.argv[1]
    missing = [f for f in LAYERS if not os.path.isdir(os.path.join(root, f))]
    problems = [f"{p}: includes \"{h}\" from {f}/" for p, h, f in include_violations(root)]
    problems += [f"{p}: links {t}, which {f}/ defines" for p, t, f in link_violations(root)]
    problems += [f"no folder {f}/" for f in missing]
    for line in problems:
        print(line)
    if problems:
        print(f"{len(problems)} dependencies on folders above or apart; order, bottom first: "
              + ", ".join(LAYERS) + "; apart: "
              + "; ".join(f"{f} from {', '.join(sorted(a))}" for f, a in APART.items()))
        return 1
    print("every folder depends only on the folders below it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
