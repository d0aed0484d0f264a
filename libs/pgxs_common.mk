# What the three extension makefiles share: warnings, headers, and an
# out-of-tree build (make -f <lib>/Makefile -C <build dir>). Each makefile
# sets MODULE_big, OBJS, EXTENSION and DATA, then includes this file.
PG_CPPFLAGS = -I$(srcdir)/include
PG_CFLAGS = -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers -Wno-sign-compare -Werror

# No JIT bitcode: the work is in SPI queries, and it would need clang.
override with_llvm = no

PG_CONFIG ?= pg_config
PGXS := $(shell $(PG_CONFIG) --pgxs)
include $(PGXS)

# An out-of-tree build has no object folder until one is made (an absolute
# name, so that VPATH does not find the source folder instead).
$(OBJS): | $(CURDIR)/src
$(CURDIR)/src:
	mkdir -p $@
