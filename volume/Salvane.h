// Every header of the volume reader at once, for code that uses most of it.
#pragma once

#include "Attributes.h"
#include "Bitmap.h"
#include "Content.h"
#include "Device.h"
#include "Fixup.h"
#include "Layout.h"
#include "Log.h"
#include "Messages.h"
#include "Mft.h"
#include "Volume.h"
#include "Records.h"
#include "Recover.h"
#include "Runs.h"
#include "Scan.h"
#include "SizeText.h"
#include "Times.h"
