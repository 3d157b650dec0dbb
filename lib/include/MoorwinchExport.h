// MOORWINCH_EXPORT marks what the shared library libMoorwinch.so exports; it is
// built with hidden visibility, so everything else stays inside. The exception
// classes are marked as a whole so that their type information is exported and
// a caller can catch them. MOORWINCH_LOCAL keeps a member class of an exported
// class (the implementation behind the public class) inside the shared library;
// elsewhere it is empty, so that code holding one needs no marks of its own.
#ifndef KORVANE_MOORWINCH_EXPORT_H
#define KORVANE_MOORWINCH_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define MOORWINCH_EXPORT __attribute__((visibility("default")))
#else
#define MOORWINCH_EXPORT
#endif

#if defined(MOORWINCH_BUILDING_SHARED) && (defined(__GNUC__) || defined(__clang__))
#define MOORWINCH_LOCAL __attribute__((visibility("hidden")))
#else
#define MOORWINCH_LOCAL
#endif

#endif
