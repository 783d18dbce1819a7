// The XML and JSON forms of a sprite table.
//
// XML: a declaration line, a "spritetable" root, one "sprite" element per
// record with the attributes name, texture, u, v, width, height and flags;
// on input also "include" elements whose "file" attribute names a further XML
// file read at that place. JSON: one array with one object per record; its
// reader is in json_reader.h.
//
// No operation closes a stream it was given; read_xml closes what its
// includes opened. Write errors are left in the streams' error flags.
#pragma once

#include <cstdio>
#include <string>

#include "sprite_table.h"
#include "text_scan.h"

namespace tinyxml2 {
class XMLElement;
}

// Prints the XML form of every record of `stb`. In attribute values '&', '<',
// '>', '"' and bytes below 0x20 are written as references (&amp; &lt; &gt;
// &quot; &#xNN;) so that any name reads back; every other byte as it is.
void write_xml(FILE* out, FILE* stb);

// Parses all of `in` (opened for binary reading; it must be seekable) as XML
// and appends one record per accepted "sprite" child of the "spritetable"
// root to `stb`. `path` names the source in messages and for includes (see
// read_include). A document the parser refuses (an empty one included) or
// that has no "spritetable" root gets an "ERROR:" line on standard error,
// adds nothing and counts as a failed file (a read error of `in` is left in
// its error flag for the caller to report); so does an include that cannot be
// read, and reading goes on. Warnings with the element's line name a
// "sprite" without "name" or "texture" (skipped), a value stored other than
// written (a number that is no number or out of its field's range, a name or
// texture cut to its field), an attribute of "sprite" that is none of the
// seven (ignored), and an element inside the table that is neither "sprite"
// nor "include", or an "include" without "file" (skipped).
void read_xml(FILE* stb, FILE* in, const std::string& path, ReadReport* report);

// Fills `entry` from zero from one "sprite" element. False when the element
// lacks a "name" or "texture" attribute. `notes` (may be null) gets why it was
// refused, and one note per value stored other than written and per
// attribute ignored. Exposed for tests.
bool sprite_from_xml(const tinyxml2::XMLElement& element, SpriteEntry* entry, RowNotes* notes);

// Prints the JSON form of every record of `stb`. In strings '"', '\\' and bytes
// below 0x20 are escaped, and bytes from 0x80 up are written as \u00XX (read
// as Latin-1), so the output is valid JSON for any name.
void write_json(FILE* out, FILE* stb);
