// The viewer's web page (HTML, CSS, JavaScript), built into the program from the files of
// tools/trace-server/web/ by a build step, so the installed tool needs nothing beside it.
//
// Thread-safety: constant data.
#ifndef TOOLS_TRACE_SERVER_HTTP_VIEWER_ASSETS_H_
#define TOOLS_TRACE_SERVER_HTTP_VIEWER_ASSETS_H_

#include <stddef.h>

struct sViewer_Asset {
  const char* path;  // "/index.html", "/viewer.js" ...
  const char* content_type;
  const unsigned char* data;
  size_t size;
};

// The assets, ended by an entry whose path is null.
extern const sViewer_Asset kViewer_Assets[];

#endif  // TOOLS_TRACE_SERVER_HTTP_VIEWER_ASSETS_H_
