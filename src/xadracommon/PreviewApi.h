// Everything of the remote interface shared by daemon and client: the
// interfaces with their proxies and targets, the value and exception types,
// the two stream implementations, and their registration with the framework.
#pragma once

#include "Annotation.h"
#include "BoundingBoxWithAngle.h"
#include "ByteArrayMimeInputStream.h"
#include "FileMimeInputStream.h"
#include "PDFProperty.h"
#include "PDFPropertyType.h"
#include "PatternParameters.h"
#include "PatternSeekResult.h"
#include "PreviewException.h"
#include "xad_preview_api_IHPGLRenderer.h"
#include "xad_preview_api_IMimeInputStream.h"

namespace xad::preview::api {

// Registers the twelve value and exception types and each one's array type.
// Call before the first remote call.
void registerTypes(Plume::SerializableFactory& factory);

// Registers IMimeInputStream (plainly, then again with "close" as release
// method) and IHPGLRenderer.
void registerInterfaces(Plume::InterfaceRegistry& registry);
// The same on a client's importer.
inline void registerInterfaces(Plume::BeanImporter& importer) { registerInterfaces(importer.getRegistry()); }

}  // namespace xad::preview::api
