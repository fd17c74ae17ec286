"""The Python examples of the README and of docs/ run as written."""

import doctest
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w*)\s*$")


def python_blocks_only(text):
    """The page with every line outside its ```python blocks blanked, so that
    an example's expected output ends at its block's closing fence and
    doctest's line numbers are the page's own."""
    kept, inside = [], False
    for line in text.splitlines():
        fence = FENCE.match(line)
        if fence:
            inside = not inside and fence.group(1) == "python"
            kept.append("")
        else:
            kept.append(line if inside else "")
    return "\n".join(kept) + "\n"


def test_every_python_example_in_the_readme_and_docs_gives_its_printed_result():
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    report, examples = [], {}
    for page in PAGES:
        name = str(page.relative_to(ROOT))
        test = parser.get_doctest(python_blocks_only(page.read_text(encoding="utf-8")),
                                  {}, name, str(page), 0)
        examples[name] = len(test.examples)
        runner.run(test, out=report.append)
    assert examples["README.md"] >= 8, examples
    assert runner.failures == 0, "".join(report)
