#pragma once

// Display and attribute objects of the base library, as far as other modules
// see them: payloads carry pointers to them and never look inside, so these
// declarations are all that crosses the library boundary.
//
//   void OnLayer(CDisplayDoc* doc, CBrimBaseDisplayLayer* layer);
//
// Ownership: whoever passes such a pointer keeps the object; holders of the
// pointer never create, read or destroy it.

// The attributes of one data item (name, value pairs).
class CAttributeMap;

// A document that holds display layers.
class CDisplayDoc;

// One display layer of a display document.
class CBrimBaseDisplayLayer;
