# Doxygen's input filter for the installed headers: reads the tree's own
# comment style as documentation, so that the reference is made from the
# comments as they are written, with no second comment syntax to keep.
#   - A comment block (// lines, or a /* */ comment) directly above a
#     declaration documents it. Above a run of two or more declarations of
#     names (no function among them, such as a list of constants), it
#     documents each of them.
#   - The first block of a file, when a blank line or a directive other
#     than a macro's definition follows it, documents the file.
#   - A comment after a declaration on its line documents that declaration,
#     and so do // lines under it in the same column.
#   - A section rule (// --- Title ---) alone above two or more
#     declarations that have no comment of their own documents each of them
#     with its title. Other rules (/* ---- */) and every other block stay
#     comments.
# Lines are only ever rewritten in place, so Doxygen's line numbers hold.

function is_blank(s) { return s ~ /^[ \t]*$/ }

# Comment text as Doxygen text: a backslash and a "<" are the writer's,
# never a command or a markup tag ("\xNN", "<bundle identifier>").
function escaped(text) {
  gsub(/\\/, "\\\\\\\\", text)
  gsub(/</, "\\&lt;", text)
  return text
}

# Line i's comment, from the column where it starts, as documentation
# opened by `marker` in place of the comment's own opening.
function document_from(i, start, opening, marker,    head, tail) {
  head = substr(lines[i], 1, start - 1)
  tail = substr(lines[i], start + length(opening))
  lines[i] = head marker escaped(tail)
}
function is_line_comment(s) { return s ~ /^[ \t]*\/\// }
function is_macro(s) { return s ~ /^#define [A-Za-z_]/ }
function is_block_start(s) { return s ~ /^[ \t]*\/\*/ }
function is_rule(s) { return s ~ /^[ \t]*(\/\/ ---|\/\* ?---)/ }

# Whether the comment block ending before line `i` documents what follows.
function documents_next(i,    s) {
  if (i > n) return 0
  s = lines[i]
  if (is_macro(s)) return 1
  if (is_blank(s) || s ~ /^[ \t]*#/ || s ~ /^[ \t]*}/) return 0
  if (s ~ /^[ \t]*(public|private|protected):/) return 0
  if (is_line_comment(s) || is_block_start(s)) return 0
  return 1
}

# The last line of the declaration that starts at line i, or 0: a
# statement ending with ";" within three lines, or a one-line function with
# its body. Declarations of functions count only when `functions` is set.
function declaration_end(i, functions,    j, s, code) {
  for (j = i; j <= n && j < i + 3; ++j) {
    s = lines[j]
    code = s
    sub(/[ \t]*\/[\/*].*$/, "", code)
    if (is_blank(s) || is_line_comment(s) || is_block_start(s)) return 0
    if (code ~ /#/ || code ~ /^[ \t]*([{}]|\*)/) return 0
    if (code ~ /\(/ && !functions) return 0
    if (code ~ /^[ \t]*(class|struct|enum|union|using|typedef|template|friend)[ \t]/) return 0
    if (code ~ /^[ \t]*(public|private|protected):/) return 0
    if (code ~ /;[ \t]*$/ || (functions && code ~ /\{.*\}[ \t]*$/)) return j
    if (code ~ /[{}]/) return 0
  }
  return 0
}

# The last line of the run of two or more declarations from line i that
# the comment above the first documents, or 0. A declaration with a comment
# of its own ends the run.
function group_end(i, functions,    end, last, count) {
  count = 0
  if (is_macro(lines[i])) {
    # A comment on a definition's line belongs to the definition: the group
    # closes on the blank line after the last one.
    while (i + count <= n && is_macro(lines[i + count])) ++count
    return count >= 2 && i + count <= n && is_blank(lines[i + count]) ? i + count : 0
  }
  while ((end = declaration_end(i, functions)) > 0) {
    if (lines[end] ~ /\/[\/*]/) {
      if (count > 0 || functions) break
    }
    last = end
    ++count
    i = end + 1
  }
  return count >= 2 ? last : 0
}

# Turns the block of lines first..last (the comment's opening at first)
# into documentation of what follows it, or of the file.
function document_block(first, last, as_file, c_style,    group, k, start) {
  group = as_file ? 0 : group_end(last + 1, 0)
  for (k = first; k <= last; ++k) {
    if (!c_style && is_rule(lines[k])) continue
    if (k == first || !c_style) {
      start = index(lines[k], c_style ? "/*" : "//")
      document_from(k, start, c_style ? "/*" : "//",
                    c_style ? (group ? "/** @{" : "/**") : (group && k == first ? "/// @{" : "///"))
    } else {
      lines[k] = escaped(lines[k])
    }
  }
  if (as_file) {
    if (c_style) {
      sub(/\*\/[ \t]*$/, "\\file */", lines[last])
    } else {
      lines[last] = lines[last] " \\file"
    }
  }
  if (group) lines[group] = is_blank(lines[group]) ? "/** @} */" : lines[group] " /** @} */"
}

{ lines[++n] = $0 }

END {
  seen_block = 0
  trailing_column = 0
  for (i = 1; i <= n; ++i) {
    s = lines[i]
    if (is_line_comment(s) || (is_block_start(s) && !is_rule(s))) {
      # A // line in the column of the trailing comment of the line before
      # continues that comment.
      if (trailing_column > 0 && match(s, /^[ \t]*\/\//) && RLENGTH - 2 == trailing_column) {
        document_from(i, RLENGTH - 1, "//", "///<")
        continue
      }
      trailing_column = 0
      first = i
      if (is_line_comment(s)) {
        while (i + 1 <= n && is_line_comment(lines[i + 1])) ++i
        c_style = 0
      } else {
        while (i <= n && lines[i] !~ /\*\//) ++i
        c_style = 1
      }
      # A section rule alone above two or more declarations without
      # comments of their own documents each of them with its title.
      if (!c_style && first == i && is_rule(s) && (group = group_end(i + 1, 1)) > 0) {
        title = s
        sub(/^[ \t]*\/\/ -+ */, "", title)
        sub(/ *-+[ \t]*$/, "", title)
        sub(/\/\/.*$/, "/// @{ " escaped(title) ".", lines[i])
        lines[group] = lines[group] " /** @} */"
        seen_block = 1
        continue
      }
      next_line = i + 1 <= n ? lines[i + 1] : ""
      as_file = !seen_block && (is_blank(next_line) || next_line ~ /^[ \t]*#/) &&
                !is_macro(next_line)
      seen_block = 1
      if (as_file || documents_next(i + 1)) document_block(first, i, as_file, c_style)
      continue
    }
    if (is_block_start(s)) {
      # A rule: its lines stay as they are.
      while (i <= n && lines[i] !~ /\*\//) ++i
      continue
    }
    trailing_column = 0
    # A comment after code that holds no string nor comment of its own.
    if (match(s, /^[^"\/]*[;,{)][ \t]+\/\/ /)) {
      trailing_column = RLENGTH - 3
      document_from(i, RLENGTH - 2, "//", "///<")
    } else if (match(s, /^[^"\/]*[;,{)][ \t]+\/\* .*\*\/[ \t]*$/)) {
      start = index(s, "/*")
      document_from(i, start, "/*", "/**<")
    }
  }
  for (i = 1; i <= n; ++i) print lines[i]
}
