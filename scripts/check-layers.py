#!/usr/bin/env python3
"""Fails when a folder reaches up: an #include of a higher layer's header, or a
CMake link to a higher layer's library. Folders are layers, bottom up; a folder
may use its own layer and every layer below it."""
import pathlib
import re
import sys

# Bottom up. A subfolder listed on its own sits below its parent folder.
LAYERS = [
    "resources",         # icons, style sheet, text-layer font (data only)
    "protocol",          # catalogue, typed request, wire format
    "engine",            # the document layer
    "ocr/export",        # layout outputs of recognition
    "ocr",               # recognition
    "jobframe",          # one job from request to published result
    "runner",            # a batch of jobs in worker processes, several at once
    "gui/languagepacks", # language-pack dialog
    "gui",               # the window
    "app",               # the executables' mains
]
RANK = {folder: rank for rank, folder in enumerate(LAYERS)}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
ADD_LIBRARY = re.compile(r"add_library\(\s*(\w+)")
LINK = re.compile(r"target_link_libraries\(\s*(\w+)([^)]*)\)", re.DOTALL)


def layer_of(path: str):
    """The most specific layer folder that holds `path`, or None."""
    best = None
    for folder in LAYERS:
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def main(root: pathlib.Path) -> int:
    problems = []
    library_layer = {}
    for cmake in root.glob("*/**/CMakeLists.txt"):
        layer = layer_of(cmake.parent.relative_to(root).as_posix())
        if layer:
            for name in ADD_LIBRARY.findall(cmake.read_text()):
                library_layer[name] = layer

    for source in sorted(root.glob("*/**/*")):
        if source.suffix not in (".h", ".cpp"):
            continue
        relative = source.relative_to(root).as_posix()
        layer = layer_of(relative)
        if layer is None:
            continue
        for included in INCLUDE.findall(source.read_text(encoding="utf-8")):
            target = layer_of(included)
            if target is not None and RANK[target] > RANK[layer]:
                problems.append(f"{relative}: includes {included} from the higher layer {target}/")

    for cmake in sorted(root.glob("*/**/CMakeLists.txt")):
        relative = cmake.relative_to(root).as_posix()
        layer = layer_of(cmake.parent.relative_to(root).as_posix())
        if layer is None:
            continue
        for target, libraries in LINK.findall(cmake.read_text()):
            for library in libraries.split():
                used = library_layer.get(library)
                if used is not None and RANK[used] > RANK[layer]:
                    problems.append(f"{relative}: {target} links {library} from the higher layer {used}/")

    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)))
