#pragma once
// OLE Automation values on the wire: BSTR, VARIANT and SAFEARRAY to and from vexa32::Variant.
//
// Taken and sent: EMPTY, NULL, I1, I2, I4, I8, UI1, UI2, UI4, UI8, R4, R8, BOOL, DATE, BSTR,
// ERROR, a null DISPATCH (Nothing), and one-dimensional arrays of these (but NULL, EMPTY and
// DISPATCH) or of VARIANT, with their lower bound. INT and UINT are taken as I4 and UI4. Anything
// else from the peer (CY, DECIMAL, objects, records, VT_BYREF, more dimensions) is an NdrError
// that names the type; sending what the wire cannot carry is a DcomError (E_INVALIDARG).

#include <string>
#include <string_view>

#include "platform/automation/variant.h"
#include "platform/dcom/ndr.h"

namespace vexa32::dcom {

// A BSTR parameter: a unique pointer, then the FLAGGED_WORD_BLOB (max count, byte length, length
// in characters, UTF-16LE). A null pointer or a NULL BSTR reads as "".
void write_bstr(NdrWriter& w, std::string_view utf8);
std::string read_bstr(NdrReader& r);
// The FLAGGED_WORD_BLOB alone, for a codec that wrote the pointer in its structure.
void write_bstr_blob(NdrWriter& w, std::string_view utf8);
std::string read_bstr_blob(NdrReader& r);

// A VARIANT parameter: a unique pointer, then the wireVARIANT with its pointees. A null pointer
// reads as EMPTY.
void write_variant(NdrWriter& w, const Variant& v);
Variant read_variant(NdrReader& r);
// The wireVARIANT alone (aligned to 8, its BSTR or array right behind it), for a codec that wrote
// the pointer in its structure (OPCITEMSTATE, arrays of VARIANT).
void write_variant_body(NdrWriter& w, const Variant& v);
Variant read_variant_body(NdrReader& r);

// A SAFEARRAY parameter (LPSAFEARRAY): a unique pointer, then the wireSAFEARRAY. The element type
// comes from the caller (the IDL, or the VARIANT holding it); a null pointer reads as an empty
// array with lower bound 0.
void write_safearray(NdrWriter& w, const SafeArray& a);
Variant read_safearray(NdrReader& r, VarType element_type);

}  // namespace vexa32::dcom
