// QelException.cs - the exception of the C# binding: a QEL_ZMQ call returned NULL or -1,
// or a connection was given up by a cancelled call. ZeroMQ's own reason, if any, is on
// the console where the library printed it.
using System;
using System.Runtime.CompilerServices;
using System.Runtime.Serialization;

namespace QelZmq
{
    /// <summary>A QEL_ZMQ call failed: the library returned NULL or -1.</summary>
    /// <remarks>ZeroMQ's reason, if any, is on the console as the library printed it:
    /// connect failures on standard output, send and receive failures on standard
    /// error.</remarks>
    [Serializable]
    [NullableContext(1)]
    public class QelException : Exception
    {
        /// <summary>Creates an exception with a default message.</summary>
        public QelException() : base("a QEL_ZMQ call failed") { }

        /// <summary>Creates an exception with the given message.</summary>
        /// <param name="message">What failed.</param>
        public QelException([Nullable(2)] string message) : base(message) { }

        /// <summary>Creates an exception with the given message and cause.</summary>
        /// <param name="message">What failed.</param>
        /// <param name="innerException">The exception that led to this one.</param>
        public QelException([Nullable(2)] string message, [Nullable(2)] Exception innerException) : base(message, innerException) { }

        /// <summary>Restores a serialised exception.</summary>
        /// <param name="info">The serialised data.</param>
        /// <param name="context">Where the data comes from.</param>
        protected QelException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }
}
