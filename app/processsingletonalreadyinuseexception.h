#pragma once

// Thrown when another live instance already owns the single-instance segment.
class ProcessSingletonAlreadyInUseException
{
};
