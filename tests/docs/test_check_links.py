#!/usr/bin/env python3
"""The link checker finds what is broken and passes what is not."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_links  # noqa: E402


class CheckLinksTest(unittest.TestCase):
    def tree(self, readme, docs=None):
        root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        with open(os.path.join(root, "README.md"), "w", encoding="utf-8") as f:
            f.write(readme)
        os.mkdir(os.path.join(root, "docs"))
        for name, text in (docs or {}).items():
            with open(os.path.join(root, "docs", name), "w", encoding="utf-8") as f:
                f.write(text)
        return root

    def test_good_links_pass(self):
        root = self.tree(
            "# Top\n\n[a](docs/a.md#files-varnok-reads) [b](#top) [c](docs/a.md#notes-1)\n",
            {"a.md": "# A\n\n## Files Varnok reads\n\n## Notes\n\n## Notes\n\n"
                     "[up](../README.md#top) [ini](#configuration-file-reference-varnokini)\n\n"
                     "## Configuration file reference: `varnok.ini`\n"},
        )
        self.assertEqual(check_links.check(root), [])

    def test_missing_file_and_anchor_are_reported(self):
        root = self.tree("# Top\n\n[a](docs/gone.md) [b](#bottom) [c](docs/a.md#notes-1)\n",
                         {"a.md": "# A\n\n## Notes\n"})
        broken = check_links.check(root)
        self.assertEqual(len(broken), 3, broken)
        self.assertIn("README.md:3: docs/gone.md: no such file", broken)
        self.assertIn("README.md:3: #bottom: no heading with this anchor", broken)
        self.assertEqual(check_links.main(["check_links.py", root]), 1)

    def test_code_is_not_checked_but_absolute_urls_are_skipped(self):
        root = self.tree("# T\n\n```\n[x](nowhere.md)\n```\n\n`[y](nowhere.md)` "
                         "[z](https://example.org/x) [w](mailto:a@b)\n")
        self.assertEqual(check_links.check(root), [])


if __name__ == "__main__":
    unittest.main()
